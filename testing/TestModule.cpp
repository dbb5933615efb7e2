// A module for the library manager's tests: one function to resolve, nothing else.

extern "C" __declspec(dllexport) int VarometTestModuleAnswer() { return 42; }

#pragma once
// Environment lookup of the framework: the process environment, then the thread's contexts.

class QORInterUnicodeString;

// name in UTF-8. 1 found, 0 not; out, when given, receives the value (empty when not found).
// "QORInstallPath" always answers: without a variable it is the program's folder three levels up.
int GetEnvironmentPath(const char* name, QORInterUnicodeString* out);

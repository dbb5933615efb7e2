#pragma once
// The sockets' process-wide start-up: Winsock 2.0 and the synchronisation trace word, once.

// Runs the start-up the first time it is called; later calls return at once.
void QORSocketStartup();

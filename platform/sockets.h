// Socket start-up and clean-up, where the station once called Winsock.
#pragma once

// Always succeeds on POSIX and grants version 2.2; returns 0.
int SocketStartup(int* grantedMajor, int* grantedMinor);
// Closes nothing: sockets stay with their owners. Returns 0.
int SocketCleanup();

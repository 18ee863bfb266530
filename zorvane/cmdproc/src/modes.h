// The two ways of running the command processor; each returns the exit status.
#ifndef ZORVANE_CMDPROC_MODES_H
#define ZORVANE_CMDPROC_MODES_H

#include <string>
#include <vector>

// Serves one server connection after another on 127.0.0.1:port; returns only on failure.
int RunListening(unsigned short port);

// Starts the server (command[0], with command[1...] behind the pipe options)
// on two pipes, serves them and returns the server's exit status.
int RunSpawned(const std::vector<std::string>& command);

#endif

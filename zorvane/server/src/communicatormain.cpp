// Process entry: trace level, command line, command-channel set-up, Run.
#include <csignal>
#include <cstring>

#include "commandline.h"
#include "mzorvanetcpserver.h"
#include "qdrcore.h"

#ifndef ZORVANE_VERSION
#define ZORVANE_VERSION "unknown"
#endif

namespace {

void ConfigureCommandChannel(MZorvaneTCPServer* server) {
  if (UsePipe) server->SetPipeCmdClient(CmdClient_WriterPipeId, CmdClient_ReaderPipeId, CmdClient_PipeSize);
  if (PortServer == 0 && PortClient == 0) return;
  if (PortServer == 0) PortServer = static_cast<int>(MZorvaneTCPServer::kDefaultServerPort);
  if (PortClient == 0) PortClient = static_cast<int>(MZorvaneTCPServer::kDefaultClientPort);
  server->SetTcpPorts(static_cast<unsigned>(PortServer), static_cast<unsigned>(PortClient));
}

}  // namespace

MZorvaneTCPServer mts;

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--coverage") == 0) return 0;
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);  // a peer that went away fails the write instead of ending the process
  GetMTraceLevelFromEnv();
  if (!parse_args(argc, argv)) {
    MERRLOG("main(): parse_args() failed");
    return 1;
  }
  MTRACE(2, "main(): Starting tcp server version = %.20s", ZORVANE_VERSION);
  if (!CheckPipeDescriptors()) return 1;
  ConfigureCommandChannel(&mts);
  return mts.Run() ? 0 : 1;
}

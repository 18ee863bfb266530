// The server's command line and initial trace level. parse_args writes the
// globals below; main configures the command channel from them.
#ifndef COMMANDLINE_H
#define COMMANDLINE_H

extern int PortServer;              // -ps=, 0 when not given
extern int PortClient;              // -pc=, 0 when not given
extern bool UsePipe;                // set by -pw=, -pr= and -s=
extern int CmdClient_PipeSize;      // -s=, -1 when not given
extern int CmdClient_ReaderPipeId;  // -pr=, -1 when not given
extern int CmdClient_WriterPipeId;  // -pw=, -1 when not given
extern const char* BindAddress;     // -b=, a numeric IPv4 or IPv6 address; nullptr when not given
extern int IdleLimitSeconds;        // -i=, 0 (no limit) when not given
extern const char* WireTracePath;   // -w=, nullptr when not given

// The trace level from MTRACE_LEVEL (clamped to 0..5), else 2.
void GetMTraceLevelFromEnv();

// True when every argument after the program name was accepted. Each option
// takes effect as it is read, so -t= governs the traces of later options.
bool parse_args(int argc, char** argv);

// True when each pipe descriptor given (and not already refused for being
// below 1 or below 0) is open, usable in its direction and below FD_SETSIZE.
bool CheckPipeDescriptors();

#endif

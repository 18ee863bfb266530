#include "mzorvanecmdclient.h"

#include <algorithm>
#include <cctype>

#include "qdrcore.h"

namespace {

int my_iscntrl(int c) { return iscntrl(c & 0xFF); }

}  // namespace

void MZorvaneCmdCommand::Serialize(std::string* out) const {
  unsigned short bits = static_cast<unsigned short>(tid);
  out->clear();
  out->push_back(static_cast<char>(bits >> 8));
  out->push_back(static_cast<char>(bits & 0xFF));
  out->append(command.c_str(), command.size() + 1);
}

int MZorvaneCmdCommand::Unserialize(const std::string& in) {
  if (in.size() < 3) return 0;
  unsigned high = static_cast<unsigned char>(in[0]);
  unsigned low = static_cast<unsigned char>(in[1]);
  tid = static_cast<short>(static_cast<unsigned short>((high << 8) | low));
  if (in.back() != '\0') return 0;
  command.assign(in, 2, in.size() - 3);
  return 1;
}

void RenderWireForTrace(std::string* bytes) { std::replace_if(bytes->begin(), bytes->end(), my_iscntrl, '.'); }

// ---- command channel (transport and sessions) ----

MZorvaneCmdClient::MZorvaneCmdClient() : pipe_buffer(kDefaultPipeSize) {}

void MZorvaneCmdClient::SetWriterPipeId(int) {}
void MZorvaneCmdClient::SetReaderPipeId(int) {}
void MZorvaneCmdClient::SetPipeSize(int) {}
int MZorvaneCmdClient::Open(unsigned) { return 0; }
void MZorvaneCmdClient::Close() {}
int MZorvaneCmdClient::FillReadBuffer() { return 0; }
bool MZorvaneCmdClient::FlushCommandBuffer() { return false; }
int MZorvaneCmdClient::OpenSession() { return 0; }
bool MZorvaneCmdClient::CloseSession(bool) { return false; }
int MZorvaneCmdClient::SendCommand(const MZorvaneCmdCommand&) { return 0; }
int MZorvaneCmdClient::SendAbort(unsigned, unsigned) { return 0; }
int MZorvaneCmdClient::create_socket(unsigned) { return 0; }
void MZorvaneCmdClient::destroy_socket() {}
int MZorvaneCmdClient::FillReadBufferSocket() { return 0; }
int MZorvaneCmdClient::FillReadBufferOverPipe() { return 0; }
bool MZorvaneCmdClient::FlushCommandBufferOverSocket() { return false; }
bool MZorvaneCmdClient::FlushCommandBufferOverPipe() { return false; }

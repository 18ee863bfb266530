#include "mzorvanetcpsocket.h"

#include "qdrcore.h"

MZorvaneTCPSocket::~MZorvaneTCPSocket() { DestroySocket(); }

bool MZorvaneTCPSocket::CreateSocket(unsigned) { return false; }
void MZorvaneTCPSocket::DestroySocket() {}
bool MZorvaneTCPSocket::OpenConnection() { return false; }
void MZorvaneTCPSocket::CloseConnection() {}
bool MZorvaneTCPSocket::BlockConnection(const char*) { return false; }
bool MZorvaneTCPSocket::FillReadBuffer() { return false; }
bool MZorvaneTCPSocket::PopReadLine(std::string*) { return false; }
bool MZorvaneTCPSocket::FlushWriteBuffer() { return false; }
bool MZorvaneTCPSocket::Send(const std::string&) { return false; }
bool MZorvaneTCPSocket::BulkSend(const char*, unsigned) { return false; }
bool MZorvaneTCPSocket::SendAck(int) { return false; }
bool MZorvaneTCPSocket::SendReady(int) { return false; }
bool MZorvaneTCPSocket::SendData(int, const char*) { return false; }
bool MZorvaneTCPSocket::SendError(int, const char*) { return false; }

#pragma once

// A client of an OpenIGTLink server made with the OpenIGTLink library, as navigation software
// connects, for the tests of `dotcal track --igtl-server`.
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlStatusMessage.h>
#include <igtlTransformMessage.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

// One message as a client received it; `matrix` holds a TRANSFORM's 4 x 4 pose, `code` and
// `errorName` a STATUS's.
struct IgtlReceived {
  std::string type, device;
  double time = 0.0;  // seconds
  float matrix[4][4] = {};
  int code = 0;
  std::string errorName;
  bool crcOk = false;  // the body unpacked with its CRC checked
};

inline igtl::ClientSocket::Pointer ConnectIgtl(int port) {
  igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
  if (socket->ConnectToServer("127.0.0.1", port) != 0) return nullptr;
  return socket;
}

// A client that never reads, with the smallest receive buffer, so that frames back up soon: its
// socket, or -1 when it could not connect.
inline int ConnectStalledClient(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 1;  // the kernel raises it to its minimum
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one message; false when the server closed the connection (or it broke) first.
inline bool ReceiveIgtl(igtl::ClientSocket* socket, IgtlReceived& message) {
  igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
  header->InitPack();
  if (socket->Receive(header->GetPackPointer(), header->GetPackSize()) != header->GetPackSize())
    return false;
  header->Unpack();
  message = IgtlReceived();
  message.type = header->GetDeviceType();
  message.device = header->GetDeviceName();
  unsigned int seconds = 0, fraction = 0;
  header->GetTimeStamp(&seconds, &fraction);
  message.time = seconds + fraction / 4294967296.0;
  igtl::MessageBase::Pointer body;
  igtl::TransformMessage::Pointer transform;
  igtl::StatusMessage::Pointer status;
  if (message.type == "TRANSFORM") {
    body = transform = igtl::TransformMessage::New();
  } else if (message.type == "STATUS") {
    body = status = igtl::StatusMessage::New();
  } else {
    body = igtl::MessageBase::New();
  }
  body->SetMessageHeader(header);
  body->AllocatePack();
  if (body->GetPackBodySize() > 0 &&
      socket->Receive(body->GetPackBodyPointer(), body->GetPackBodySize()) !=
          body->GetPackBodySize())
    return false;
  message.crcOk = (body->Unpack(1) & igtl::MessageBase::UNPACK_BODY) != 0;
  if (transform) transform->GetMatrix(message.matrix);
  if (status) {
    message.code = status->GetCode();
    message.errorName = status->GetErrorName();
  }
  return true;
}

// Every message until the server closes the connection; then closes it on this side too.
inline std::vector<IgtlReceived> ReceiveAllIgtl(igtl::ClientSocket* socket) {
  std::vector<IgtlReceived> messages;
  IgtlReceived message;
  while (ReceiveIgtl(socket, message)) messages.push_back(message);
  socket->CloseSocket();
  return messages;
}

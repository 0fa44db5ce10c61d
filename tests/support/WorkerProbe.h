#pragma once
// The worker's single steps, for code that drives them on its own thread,
// which is then the client's worker thread: the integration tests where a
// whole pass (RunOnePass) would hide what they check, the receive fuzz
// target and the send benchmarks. The client names this class its friend;
// nothing else reaches its worker-only methods.
//
// Test support only: header-only, so that every program that links the
// client can use it.
#include <cstdint>

#include "client/ClientThread.h"
#include "protocol/PacketBuffer.h"

namespace kv::test {

class TWorkerProbe {
 public:
  using TReceiveResult = TOpros2Thread::TReceiveResult;

  explicit TWorkerProbe(TOpros2Thread& client) : client_(client) {}

  // One login attempt; true when it logged in (or got the client ID 0).
  bool KVConnect() { return client_.KVConnect(); }
  void NeedRegisterAllChannels() { client_.NeedRegisterAllChannels(); }
  void KVProcessSend() { client_.KVProcessSend(); }
  TReceiveResult ProcessReceive() { return client_.ProcessReceive(); }
  bool KVTest() { return client_.KVTest(); }
  void DropConnection() { client_.DropConnection(); }

  bool StatusRequestPending() const { return client_.statusRequestPending_; }
  TKavrelCmdParser& SendBuffer() { return client_.sendBuffer_; }
  TKavrelCmdParser& RecvBuffer() { return client_.recvBuffer_; }

 private:
  TOpros2Thread& client_;
};

}  // namespace kv::test

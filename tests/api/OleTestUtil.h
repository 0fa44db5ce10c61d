#pragma once
// Helpers for the api tests: host variants built through the platform's OLE
// primitives (oleaut32 on Windows, the kv_ helpers on Linux), freed by RAII,
// and a scripted client facade.
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/ClientFacade.h"
#include "api/OleRuntime.h"
#include "kvopros2.h"

namespace kv::test {

// A VARIANT the test owns; cleared on destruction.
struct TOwnedVariant {
  VARIANT v{};
  TOwnedVariant() = default;
  explicit TOwnedVariant(const VARIANT& value) : v(value) {}
  ~TOwnedVariant() { ole::Clear(v); }
  TOwnedVariant(const TOwnedVariant&) = delete;
  TOwnedVariant& operator=(const TOwnedVariant&) = delete;
};

inline VARIANT Scalar(VARTYPE vt, std::int64_t bits) {
  VARIANT v{};
  v.vt = vt;
  std::memcpy(&v.llVal, &bits, sizeof bits);
  return v;
}

inline VARIANT Text(std::u16string_view text) {
  VARIANT v{};
  v.vt = VT_BSTR;
  v.bstrVal = ole::AllocString(text);
  return v;
}

// A VT_ARRAY variant of element kind vt whose element block is `bytes`.
inline VARIANT Array(VARTYPE vt, std::int32_t low, std::uint32_t count, const void* bytes) {
  VARIANT v{};
  v.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
  v.parray = ole::CreateVector(vt, low, count);
  void* data = ole::AccessData(v.parray);
  if (count != 0) std::memcpy(data, bytes, std::size_t{count} * ole::ElementSize(vt));
  ole::UnaccessData(v.parray);
  return v;
}

// The UTF-16 units of a BSTR and the byte length stored in front of them.
inline std::u16string Units(BSTR text) { return ole::ReadString(text); }
inline std::uint32_t BytePrefix(BSTR text) {
  std::uint32_t length;
  std::memcpy(&length, reinterpret_cast<const char*>(text) - sizeof length, sizeof length);
  return length;
}

template <class T>
T ElementOf(SAFEARRAY* array, std::uint32_t offset) {
  T value;
  void* data = ole::AccessData(array);
  std::memcpy(&value, static_cast<const char*>(data) + offset * sizeof(T), sizeof value);
  ole::UnaccessData(array);
  return value;
}

struct ValueCall {
  std::string Addr;
  std::uint16_t Quality;
  TDateTime DT;
  Variant Value;
};

struct AttributeCall {
  std::string Addr;
  std::uint16_t Id;
  std::uint16_t Type;
  Variant Value;
};

// Records every call and answers as scripted.
class TFakeClient : public TClientFacade {
 public:
  bool Connected = false;
  bool Result = true;
  // What a registration answers when Result is false.
  TCallResult Refusal = TCallResult::UnknownChannel;
  bool Raise = false;
  int DebugSwitches = 0;
  bool Debug = false;
  std::vector<ChannelDeclaration> Channels;
  std::vector<ValueCall> Values;
  std::vector<AttributeCall> Attributes;
  std::deque<ControlRequest> Controls;

  bool Started = false;
  bool StartFails = false;

  void Start() override {
    if (StartFails) throw std::runtime_error("no thread");
    Started = true;
  }
  bool IsConnected() override { return Check(), Connected; }
  TCallResult RegisterChannel(const ChannelDeclaration& channel) override {
    Check();
    Channels.push_back(channel);
    return Answer();
  }
  TCallResult RegisterValueByID(std::string_view addr, std::uint16_t quality, TDateTime dt,
                                const Variant& value) override {
    Check();
    Values.push_back({std::string(addr), quality, dt, value});
    return Answer();
  }
  TCallResult RegisterAttribute(std::string_view addr, std::uint16_t id, std::uint16_t type,
                                const Variant& value) override {
    Check();
    Attributes.push_back({std::string(addr), id, type, value});
    return Answer();
  }
  void SetDebug(bool on) noexcept override {
    ++DebugSwitches;
    Debug = on;
  }
  ClientStatistics Statistics() override { return Check(), ClientStatistics{}; }
  std::optional<ControlRequest> PopControl() override {
    Check();
    if (Controls.empty()) return std::nullopt;
    ControlRequest control = std::move(Controls.front());
    Controls.pop_front();
    return control;
  }

 private:
  TCallResult Answer() const { return Result ? TCallResult::Ok : Refusal; }
  void Check() const {
    if (Raise) throw std::runtime_error("fake failure");
  }
};

}  // namespace kv::test

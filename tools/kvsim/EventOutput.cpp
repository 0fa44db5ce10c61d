#include "kvsim/EventOutput.h"

#include <cstdio>

#include "kvsim/Describe.h"
#include "runtime/Codepage.h"
#include "runtime/Utf8.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv::sim {
namespace {

bool Matches(const char* pattern, const char* text) {
  for (;; ++pattern, ++text) {
    if (*pattern == '*') {
      for (const char* rest = text;; ++rest) {
        if (Matches(pattern + 1, rest)) return true;
        if (*rest == '\0') return false;
      }
    }
    if (*pattern == '\0') return *text == '\0';
    if (*text == '\0' || (*pattern != '?' && *pattern != *text)) return false;
  }
}

// "14:07:09.123", the human lines' time stamp.
std::string ClockText(TDateTime now) {
  const std::string full = DateTimeText(now);
  return full.size() > 11 ? full.substr(11) : full;
}

const char* LoginAnswerName(const TReceivedRecord& record) {
  switch (record.loginAnswer) {
    case TLoginAnswer::Unanswered:
      return "none";
    case TLoginAnswer::Broken:
      return "broken";
    case TLoginAnswer::Closed:
      return "closed";
    case TLoginAnswer::Reply:
      break;
  }
  if (record.loginReply.clientId < 0) return "refused";
  return record.loginReply.clientId == 0 ? "zero-id" : "granted";
}

std::string Version(unsigned major, unsigned minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string AttributesJson(const std::vector<TSimAttribute>& attributes) {
  std::string json = "[";
  for (const TSimAttribute& attribute : attributes) {
    if (json.size() > 1) json += ",";
    json += TJsonObject()
                .Number("id", attribute.id)
                .Text("type", DataTypeToText(attribute.type))
                .Raw("value", JsonValue(attribute.value, attribute.type))
                .Raw("time", JsonDateTime(attribute.lastChange))
                .Str();
  }
  return json + "]";
}

// The channel a registration or value record is about.
std::string RecordAddress(const TReceivedRecord& record, const std::string& resolved) {
  const std::string& own =
      record.kind == TRecordKind::Registration ? record.registration.addr : record.value.addr;
  return own.empty() ? resolved : own;
}

}  // namespace

bool AddressMatches(const std::string& pattern, const std::string& addr) {
  return Matches(AnsiUpper(pattern).c_str(), AnsiUpper(addr).c_str());
}

TEventOutput::TEventOutput(TOutputOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), clock_([] { return Now(); }), out_(out), err_(err) {}

bool TEventOutput::Shows(const std::string& addr) const {
  if (options_.channels.empty()) return true;
  for (const std::string& pattern : options_.channels)
    if (AddressMatches(pattern, addr)) return true;
  return false;
}

TJsonObject TEventOutput::Begin(std::string_view event, int client) const {
  TJsonObject json;
  json.Raw("ts", JsonDateTime(clock_())).Text("event", event);
  if (client > 0) json.Number("client", client);
  return json;
}

void TEventOutput::Emit(const std::string& human, const TJsonObject& json, int client,
                        bool always) {
  if (options_.quiet && !always) return;
  std::string line;
  if (options_.json) {
    line = json.Str();
  } else {
    line = ClockText(clock_()) + " ";
    if (options_.tagClients && client > 0) line += "[client " + std::to_string(client) + "] ";
    line += Utf8FromAnsi(human);
  }
  TLockGuard lock(mutex_);
  out_ << line << std::endl;
}

void TEventOutput::Listening(const std::string& host, std::uint16_t port, int clients) {
  std::string text = "kvsim listening on " + host + ":" + std::to_string(port);
  if (clients > 1) text += ", up to " + std::to_string(clients) + " clients at once";
  Emit(text, Begin("listening")
                 .Text("host", host)
                 .Number("port", port)
                 .Number("clients", clients < 1 ? 1 : clients));
}

void TEventOutput::Received(int client, const TReceivedRecord& record, const std::string& addr) {
  TJsonObject json;
  switch (record.kind) {
    case TRecordKind::Connected:
      json =
          Begin("connected", client).Number("connection", record.session).Text("peer", record.note);
      break;
    case TRecordKind::Disconnected:
      json = Begin("disconnected", client)
                 .Number("connection", record.session)
                 .Text("reason", record.note)
                 .Text("end", SessionEndText(record.end));
      break;
    case TRecordKind::Login: {
      const TLoginReply& reply = record.loginReply;
      json = Begin("login", client)
                 .Number("connection", record.session)
                 .Text("login", record.login.login)
                 .Text("password", record.login.password)
                 .Text("library", Version(record.login.libraryMajor, record.login.libraryMinor))
                 .Text("answer", LoginAnswerName(record));
      if (record.loginAnswer != TLoginAnswer::Unanswered &&
          record.loginAnswer != TLoginAnswer::Closed) {
        json.Number("clientId", reply.clientId)
            .Number("code", reply.resultCode)
            .Text("server", Version(reply.versionMajor, reply.versionMinor));
        if (reply.clientId < 0) json.Text("reason", RefusalReason(reply.resultCode));
      }
      break;
    }
    case TRecordKind::StatusRequest:
      json = Begin("status-request", client).Number("connection", record.session);
      break;
    case TRecordKind::Registration: {
      const TRegistration& reg = record.registration;
      if (!Shows(RecordAddress(record, addr))) return;
      json = Begin("channel", client)
                 .Number("connection", record.session)
                 .Text("addr", RecordAddress(record, addr))
                 .Number("number", record.channelNumber)
                 .Text("type", DataTypeToText(reg.type))
                 .Number("flags", reg.flags)
                 .Raw("attributes", AttributesJson(reg.attributes));
      break;
    }
    case TRecordKind::Value: {
      const TValueRecord& v = record.value;
      if (!Shows(RecordAddress(record, addr))) return;
      json = Begin("value", client)
                 .Number("connection", record.session)
                 .Text("addr", RecordAddress(record, addr))
                 .Number("number", record.channelNumber)
                 .Raw("time", JsonDateTime(v.dt))
                 .Number("quality", v.quality)
                 .Text("type", DataTypeToText(v.type))
                 .Raw("value", JsonValue(v.value, v.type));
      break;
    }
    case TRecordKind::OtherStruct:
    case TRecordKind::OtherCommand:
      json = Begin("skipped", client)
                 .Number("connection", record.session)
                 .Number("id", record.id)
                 .Number("size", static_cast<std::int64_t>(record.bytes.size()));
      break;
    case TRecordKind::ProtocolError:
      json = Begin("protocol-error", client)
                 .Number("connection", record.session)
                 .Number("id", record.id)
                 .Number("size", static_cast<std::int64_t>(record.bytes.size()))
                 .Text("bytes", BytesToHex(record.bytes.data(),
                                           static_cast<std::int32_t>(record.bytes.size())));
      break;
  }
  if (!record.note.empty() && record.kind != TRecordKind::Connected &&
      record.kind != TRecordKind::Disconnected)
    json.Text("note", record.note);
  Emit(DescribeRecord(record, addr), json, client);
}

void TEventOutput::ControlSent(int client, std::uint32_t session, const TControl& control,
                               const std::string& addr) {
  const std::string name = control.byNumber ? addr : control.addr;
  if (!Shows(name)) return;
  std::string human = "control 57 ";
  human += control.byNumber ? "#" + std::to_string(control.number) : "\"" + control.addr + "\"";
  human += " " + DateTimeText(control.dt) + " quality " + std::to_string(control.quality) + " " +
           DataTypeToText(control.type) + " = " + ValueText(control.value, control.type);
  TJsonObject json = Begin("control", client).Number("connection", session).Text("addr", name);
  if (control.byNumber) json.Number("number", control.number);
  json.Raw("time", JsonDateTime(control.dt))
      .Number("quality", control.quality)
      .Text("type", DataTypeToText(control.type))
      .Raw("value", JsonValue(control.value, control.type));
  Emit(human, json, client);
}

void TEventOutput::FaultBegun(const TFaultEvent& event) {
  Emit("fault " + std::string(FaultName(event.step.kind)) + " (variant " +
           std::to_string(event.step.variant) + ", amount " + std::to_string(event.step.amount) +
           ") on connection " + std::to_string(event.session),
       Begin("fault")
           .Text("kind", FaultName(event.step.kind))
           .Number("variant", event.step.variant)
           .Number("amount", event.step.amount)
           .Number("connection", event.session));
}

void TEventOutput::FaultEnded(const TFaultEvent& event) {
  Emit(std::string(event.failed ? "fault FAILED: " : "fault done: ") + FaultName(event.step.kind) +
           ": " + event.outcome,
       Begin("fault-end")
           .Text("kind", FaultName(event.step.kind))
           .Text("outcome", event.outcome)
           .Bool("failed", event.failed)
           .Number("connection", event.session));
}

void TEventOutput::Note(const std::string& text) { Emit(text, Begin("note").Text("text", text)); }

void TEventOutput::Reply(const std::string& text) {
  if (text.empty()) return;
  Emit(text, Begin("reply").Text("text", text), 0, true);
}

void TEventOutput::ScriptFailed(int line, const std::string& command, const std::string& why) {
  {
    TLockGuard lock(mutex_);
    err_ << "kvsim: script line " << line << ": " << Utf8FromAnsi(command) << ": "
         << Utf8FromAnsi(why) << std::endl;
  }
  if (options_.json)
    Emit({},
         Begin("expect-failed").Number("line", line).Text("command", command).Text("reason", why));
}

void TEventOutput::ScriptEnded(int held, int failed) {
  Emit("script ended: " + std::to_string(held) + " step(s) held, " + std::to_string(failed) +
           " failed",
       Begin("script-end").Number("held", held).Number("failed", failed));
}

void TEventOutput::Summary(const TSimCounters& counters, bool faults) {
  TJsonObject json =
      Begin("summary")
          .Number("connections", static_cast<std::int64_t>(counters.Connections()))
          .Number("logins", static_cast<std::int64_t>(counters.Logins()))
          .Number("messagesReceived", static_cast<std::int64_t>(counters.RecordsReceived()))
          .Number("bytesReceived", static_cast<std::int64_t>(counters.BytesReceived()))
          .Number("messagesSent", static_cast<std::int64_t>(counters.RecordsSent()))
          .Number("bytesSent", static_cast<std::int64_t>(counters.BytesSent()))
          .Number("controls", static_cast<std::int64_t>(counters.ControlsSent()));
  if (faults) json.Number("faults", static_cast<std::int64_t>(counters.Faults()));
  Emit("kvsim: " + counters.Summary(faults), json);
}

void TEventOutput::Error(const std::string& text) {
  TLockGuard lock(mutex_);
  err_ << "kvsim: " << Utf8FromAnsi(text) << std::endl;
}

}  // namespace kv::sim

#include "DemoServer.h"

#include "channels/Channel.h"
#include "kvsim/Describe.h"
#include "kvsim/KavrelServer.h"
#include "protocol/TcpClient.h"
#include "runtime/Exception.h"
#include "runtime/Utf8.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv::demo {
namespace {

// Names of the attributes a host usually sets, for a readable view.
std::string AttributeName(std::uint16_t id) {
  switch (id) {
    case ChannelAttr::EUType:
      return "EUType";
    case ChannelAttr::EUInfo2:
      return "state names";
    case ChannelAttr::Unit:
      return "unit";
    case ChannelAttr::Comments:
      return "comments";
    case ChannelAttr::Prefix:
      return "prefix";
    case ChannelAttr::HiLimit:
      return "high limit";
    case ChannelAttr::LoLimit:
      return "low limit";
    case ChannelAttr::Description:
      return "description";
    case ChannelAttr::FormatString:
      return "format";
    case ChannelAttr::Signification:
      return "signification";
    default:
      return "attribute";
  }
}

std::string Quoted(std::string_view ansi) {
  std::string text = "\"";
  text += Utf8FromAnsi(ansi);
  text += '"';
  return text;
}

bool IsSwitch(const sim::TSimChannel& channel, bool on) {
  if (!channel.hasValue || channel.value.IsArray()) return false;
  try {
    return channel.value.ToBoolean() == on;
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace

std::vector<std::string> DescribeServerChannel(const sim::TSimChannel& channel) {
  std::string head = "#" + std::to_string(channel.number) + " " + Quoted(channel.addr) + "  " +
                     DataTypeToText(channel.type) + ", " +
                     std::to_string(channel.attributes.size()) + " attributes, " +
                     std::to_string(channel.values) + " values received";
  if (channel.hasValue)
    head += ", last " + Utf8FromAnsi(sim::ValueText(channel.value, channel.type)) + " quality " +
            std::to_string(channel.quality) + " at " + sim::DateTimeText(channel.dt);
  std::vector<std::string> lines{head};
  for (const sim::TSimAttribute& a : channel.attributes)
    lines.push_back("    " + AttributeName(a.id) + " (" + std::to_string(a.id) + ", " +
                    DataTypeToText(a.type) +
                    ") = " + Utf8FromAnsi(sim::ValueText(a.value, a.type)));
  return lines;
}

TDemoServer::TDemoServer() {
  sim::TServerOptions options;
  options.host = "127.0.0.1";
  options.port = 0;
  // The demo only looks at the channel view; old records need not pile up.
  options.maxRecords = 1000;
  server_ = std::make_unique<sim::TKavrelServer>(options);
}

TDemoServer::~TDemoServer() { Stop(); }

bool TDemoServer::Start(std::string& error) {
  if (server_->Start()) return true;
  error = Utf8FromAnsi(SocketErrorText(server_->LastError())) + " [" +
          std::to_string(server_->LastError()) + "]";
  return false;
}

void TDemoServer::Stop() { server_->Stop(); }

std::uint16_t TDemoServer::Port() const { return server_->Port(); }

int TDemoServer::Logins() const {
  int logins = 0;
  server_->WaitFor(
      [&](const sim::TServerView& view) {
        logins = view.state.Logins();
        return true;
      },
      Duration{0});
  return logins;
}

bool TDemoServer::WaitForActive(std::string_view addr, Duration limit) {
  const std::string name(addr);
  return server_->WaitFor(
      [&](const sim::TServerView& view) {
        const sim::TSimChannel* channel = view.state.Find(name);
        return channel && channel->activeSent;
      },
      limit);
}

bool TDemoServer::SendSwitch(std::string_view addr, bool on, std::string& error) {
  sim::TControl control;
  control.addr = std::string(addr);
  control.dt = Now();
  control.type = dtBoolean;
  control.value = Variant::FromBoolean(on);
  try {
    if (server_->SendControl(control)) return true;
    error = "the server could not send it (no connection?)";
  } catch (const Exception& e) {
    error = Utf8FromAnsi(e.Message());
  }
  return false;
}

bool TDemoServer::WaitForSwitch(std::string_view addr, bool on, Duration limit) {
  const std::string name(addr);
  return server_->WaitFor(
      [&](const sim::TServerView& view) {
        const sim::TSimChannel* channel = view.state.Find(name);
        return channel && IsSwitch(*channel, on);
      },
      limit);
}

std::vector<std::string> TDemoServer::ChannelLines() const {
  std::vector<std::string> lines;
  for (const sim::TSimChannel& channel : server_->Channels())
    for (std::string& line : DescribeServerChannel(channel)) lines.push_back(std::move(line));
  return lines;
}

}  // namespace kv::demo

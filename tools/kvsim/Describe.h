#pragma once
// One-line texts of what the server received and of its channel view, for
// the command-line program and for test failure messages. The texts are
// Windows-1251 (they quote the client's addresses and values); Utf8.h turns
// them into terminal text. Never raise: a value that cannot be shown shows
// the error instead.
#include <cstdint>
#include <string>

#include "kvsim/SimState.h"

namespace kv::sim {

// "2024-03-05 14:07:09.123"; the number itself for a value outside the calendar.
std::string DateTimeText(TDateTime value);
// Scalars as text, arrays as "[a, b]", Empty as "Empty". Booleans, and any
// value of a Boolean data type (the wire carries them as words), show as
// true or false. Numbers read the same in every locale: '.' is the decimal
// point, floats in the fewest digits that read back the same.
std::string ValueText(const Variant& value, std::uint16_t type = 0);
// A number as ValueText shows it; other kinds as the runtime prints them.
std::string NumberText(const Variant& value);
// The reason a login refusal code gives: "wrong login or password" ...
std::string RefusalReason(std::uint8_t code);
// How a login was answered: "granted as client 1", "refused: ..." ...
std::string LoginAnswerText(const TReceivedRecord& record);
// `addr` names the channel of a value given by number, where known.
std::string DescribeRecord(const TReceivedRecord& record, const std::string& addr = {});
std::string DescribeChannel(const TSimChannel& channel);

}  // namespace kv::sim

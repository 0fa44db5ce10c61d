// Checks the variant coercion against conversions recorded from a real OLE
// automation runtime (tests/data/ole-coercions.csv), row by row, under the
// regional settings each row was recorded with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/FormatSettings.h"
#include "runtime/Variant.h"

namespace kv {
namespace {

struct Row {
  int line = 0;
  std::string lcid;
  int srcKind = 0;
  std::string srcValue;
  int dstKind = 0;
  std::string hresult;
  std::string result;
};

// Splits one CSV line; quoted fields keep their quotes so that an empty text
// ("") can be told from an Empty value (nothing).
std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      fields.emplace_back();
      continue;
    }
    fields.back() += c;
  }
  return fields;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    char32_t cp = b;
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : 3;
    if (extra > 0) cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += 1 + extra;
    out += static_cast<char16_t>(cp);
  }
  return out;
}

// "a ""b""" -> a "b"
std::u16string Unquote(const std::string& field) {
  std::string inner;
  for (std::size_t i = 1; i + 1 < field.size(); ++i) {
    inner += field[i];
    if (field[i] == '"') ++i;
  }
  return Utf8ToUtf16(inner);
}

std::vector<Row> ReadRows() {
  std::ifstream in(std::string(KV_TEST_DATA_DIR) + "/ole-coercions.csv");
  std::vector<Row> rows;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 || line.empty()) continue;
    std::vector<std::string> f = SplitCsv(line);
    if (f.size() != 6) {
      ADD_FAILURE() << "line " << number << " has " << f.size() << " fields";
      continue;
    }
    rows.push_back({number, f[0], std::stoi(f[1]), f[2], std::stoi(f[3]), f[4], f[5]});
  }
  return rows;
}

Variant MakeValue(int kind, const std::string& text) {
  switch (kind) {
    case varEmpty:
      return Variant();
    case varSmallint:
      return Variant::FromInt16(static_cast<std::int16_t>(std::stol(text)));
    case varInteger:
      return Variant::FromInt32(static_cast<std::int32_t>(std::stoll(text)));
    case varSingle:
      return Variant::FromSingle(static_cast<float>(std::strtod(text.c_str(), nullptr)));
    case varDouble:
      return Variant::FromDouble(std::strtod(text.c_str(), nullptr));
    case varDate:
      return Variant::FromDate(std::strtod(text.c_str(), nullptr));
    case varOleStr:
      return Variant::FromWide(Unquote(text));
    case varBoolean:
      return Variant::FromBooleanWord(static_cast<std::uint16_t>(std::stol(text)));
    case varShortInt:
      return Variant::FromInt8(static_cast<std::int8_t>(std::stol(text)));
    case varByte:
      return Variant::FromUInt8(static_cast<std::uint8_t>(std::stol(text)));
    case varWord:
      return Variant::FromUInt16(static_cast<std::uint16_t>(std::stol(text)));
    case varLongWord:
      return Variant::FromUInt32(static_cast<std::uint32_t>(std::stoll(text)));
  }
  throw std::runtime_error("unexpected kind in data");
}

// What a successful conversion gave, in the data's notation.
std::string Describe(const Variant& v) {
  std::ostringstream out;
  out.precision(17);
  switch (v.Kind()) {
    case varSingle:
      out << static_cast<double>(v.ToSingle());
      break;
    case varDouble:
      out << v.ToDouble();
      break;
    case varDate:
      out << v.ToDate();
      break;
    case varOleStr:
      out << '"' << WideToAnsi(v.ToWide()) << '"';
      break;
    case varBoolean:
      out << static_cast<std::int16_t>(v.ToBooleanWord());
      break;
    case varLongWord:
      out << v.ToUInt32();
      break;
    case varEmpty:
      break;
    default:
      out << v.ToInt32();
  }
  return out.str();
}

bool SameResult(const Variant& got, int kind, const std::string& expected) {
  if (got.Kind() != kind) return false;
  switch (kind) {
    case varSingle:
      return got.ToSingle() == static_cast<float>(std::strtod(expected.c_str(), nullptr));
    case varDouble:
    case varDate: {
      double want = std::strtod(expected.c_str(), nullptr);
      double have = got.Kind() == varDate ? got.ToDate() : got.ToDouble();
      return have == want && std::signbit(have) == std::signbit(want);
    }
    case varOleStr:
      return got.ToWide() == Unquote(expected);
    default:
      return Describe(got) == expected;
  }
}

std::string CheckRow(const Row& row) {
  SetFormatSettings(row.lcid == "0x0419" ? FormatSettings::Russian() : FormatSettings::UsEnglish());
  Variant source = MakeValue(row.srcKind, row.srcValue);
  std::string prefix = row.hresult == "8002000A" ? "Overflow while converting variant of type ("
                                                 : "Could not convert variant of type (";
  std::string wantedError = prefix + VarTypeName(source.Kind()) + ") into type (" +
                            VarTypeName(static_cast<std::uint16_t>(row.dstKind)) + ")";
  try {
    Variant got = source.ChangeType(static_cast<std::uint16_t>(row.dstKind));
    if (row.hresult != "00000000")
      return "succeeded with " + Describe(got) + ", wanted " + row.hresult;
    if (!SameResult(got, row.dstKind, row.result))
      return "gave " + Describe(got) + ", wanted " + row.result;
  } catch (const Exception& e) {
    if (row.hresult == "00000000")
      return std::string("raised ") + e.Message() + ", wanted " + row.result;
    if (e.Message() != wantedError)
      return std::string("raised ") + e.Message() + ", wanted " + wantedError;
  }
  return {};
}

TEST(VariantCoercionRecorded, EveryRowMatches) {
  std::vector<Row> rows = ReadRows();
  ASSERT_GT(rows.size(), 2000u);
  int failures = 0;
  for (const Row& row : rows) {
    std::string problem = CheckRow(row);
    if (problem.empty()) continue;
    ++failures;
    ADD_FAILURE() << "line " << row.line << " (" << row.lcid << ' ' << row.srcKind << ' '
                  << row.srcValue << " -> " << row.dstKind << "): " << problem;
  }
  SetFormatSettings(FormatSettings::UsEnglish());
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace kv

#include "ClientHarness.h"

#include "values/DataTypes.h"

namespace kv::test {
namespace {

// What no record could ever carry is refused at the call, and the call
// changes nothing.
using RefusalTest = ClientHarness;

bool Declare(TOpros2Thread& client, const std::string& addr, std::uint16_t type,
             const std::string& comments = "") {
  return client.RegisterChannel({.Addr = addr, .Type = type, .Comments = comments});
}

TEST_F(RefusalTest, ChannelsWithoutABinaryFormOrTooLongARecord) {
  for (std::uint16_t type : {20, 8, 1, 0x1014, 0x1000})
    EXPECT_FALSE(Declare(*client_, "T", type)) << type;
  const std::string huge(70000, 'x');
  EXPECT_FALSE(Declare(*client_, huge, 5));
  EXPECT_FALSE(Declare(*client_, "T", 5, huge));
  EXPECT_EQ(client_->Channels().Count(), 0);
  ASSERT_TRUE(Declare(*client_, "S", 256, "kept"));
  EXPECT_FALSE(Declare(*client_, "S", 20));
  EXPECT_EQ(client_->Channels().CopyByAddress("S")->Type(), 256);
  EXPECT_EQ(client_->Channels().CopyByAddress("S")->Comments(), "kept");
}

TEST_F(RefusalTest, AttributesWithoutABinaryFormOrBeyondTheRecord) {
  ASSERT_TRUE(Declare(*client_, "S", 5));
  EXPECT_FALSE(client_->RegisterAttribute("S", 400, 20, Variant(1)));
  // Four of these fill most of a record; a fifth would not fit.
  const Variant part = Variant::FromAnsi(std::string(15000, 'a'));
  for (std::uint16_t id : {401, 402, 403, 404})
    EXPECT_TRUE(client_->RegisterAttribute("S", id, 256, part));
  EXPECT_FALSE(client_->RegisterAttribute("S", 405, 256, part));
  EXPECT_EQ(client_->Channels().CopyByAddress("S")->AttributeCount(), 4);
}

TEST_F(RefusalTest, ValuesLongerThanAValueRecordCarries) {
  ASSERT_TRUE(Declare(*client_, "S", 256));
  ASSERT_TRUE(Declare(*client_, "D", 0x1005));
  const std::string longest(19998, 'x');  // with its length word, the room one value has
  EXPECT_FALSE(client_->RegisterValueByID("S", 0, 45000.0, Variant::FromAnsi(longest + "x")));
  const Variant wideTooLong = Variant::FromWide(std::u16string(19999, u'ж'));
  EXPECT_FALSE(client_->RegisterValueByID("S", 0, 45000.0, wideTooLong));
  EXPECT_FALSE(client_->RegisterValueByID("D", 0, 45000.0, CreateTypedArray(0x1003, 2500)));
  std::unique_ptr<TChannel2> untouched = client_->Channels().CopyByAddress("S");
  EXPECT_EQ(untouched->DT(), 0);
  EXPECT_EQ(untouched->Flags() & NeedSendValue, 0);
  EXPECT_TRUE(client_->RegisterValueByID("S", 0, 45000.0, Variant::FromAnsi(longest)));
  EXPECT_TRUE(client_->RegisterValueByID("D", 0, 45000.0, CreateTypedArray(0x1003, 2499)));
  // With a bad quality the value is not stored, so its length does not matter.
  EXPECT_TRUE(client_->RegisterValueByID("S", 5, 45000.0, Variant::FromAnsi(longest + "x")));
}

}  // namespace
}  // namespace kv::test

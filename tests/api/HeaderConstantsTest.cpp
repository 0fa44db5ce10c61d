// The numbers the public header names are the library's own: a host that
// passes KVOPROS2_TYPE_FLOAT8 or KVOPROS2_ATTR_HI_LIMIT gets what the name
// says.
#include <gtest/gtest.h>

#include <string_view>

#include "channels/Channel.h"
#include "client/CallResult.h"
#include "client/LogControl.h"
#include "kvopros2.h"
#include "runtime/Codepage.h"
#include "values/DataTypes.h"
#include "values/ValueText.h"

namespace kv {
namespace {

static_assert(KVOPROS2_TYPE_EMPTY == dtEmpty && KVOPROS2_TYPE_INT2 == dtInt2 &&
              KVOPROS2_TYPE_INT4 == dtInt4 && KVOPROS2_TYPE_FLOAT4 == dtFloat4 &&
              KVOPROS2_TYPE_FLOAT8 == dtFloat8 && KVOPROS2_TYPE_DATE == dtDate &&
              KVOPROS2_TYPE_BOOLEAN == dtBoolean && KVOPROS2_TYPE_INT1 == dtInt1 &&
              KVOPROS2_TYPE_UINT1 == dtUInt1 && KVOPROS2_TYPE_UINT2 == dtUInt2 &&
              KVOPROS2_TYPE_UINT4 == dtUInt4 && KVOPROS2_TYPE_STRING == dtString &&
              KVOPROS2_TYPE_ARRAY == dtArray);

static_assert(KVOPROS2_ATTR_EU_TYPE == ChannelAttr::EUType &&
              KVOPROS2_ATTR_EU_INFO1 == ChannelAttr::EUInfo1 &&
              KVOPROS2_ATTR_EU_INFO2 == ChannelAttr::EUInfo2 &&
              KVOPROS2_ATTR_EU_INFO3 == ChannelAttr::EUInfo3 &&
              KVOPROS2_ATTR_UNIT == ChannelAttr::Unit &&
              KVOPROS2_ATTR_COMMENTS == ChannelAttr::Comments &&
              KVOPROS2_ATTR_PREFIX == ChannelAttr::Prefix &&
              KVOPROS2_ATTR_SOUND_FILE == ChannelAttr::SoundFile &&
              KVOPROS2_ATTR_ALARM_MESSAGE == ChannelAttr::AlarmMessage &&
              KVOPROS2_ATTR_DEADBAND == ChannelAttr::Deadband &&
              KVOPROS2_ATTR_HIHI_LIMIT == ChannelAttr::HiHiLimit &&
              KVOPROS2_ATTR_HI_LIMIT == ChannelAttr::HiLimit &&
              KVOPROS2_ATTR_LO_LIMIT == ChannelAttr::LoLimit &&
              KVOPROS2_ATTR_LOLO_LIMIT == ChannelAttr::LoLoLimit &&
              KVOPROS2_ATTR_WATCH_LIMITS == ChannelAttr::WatchLimits &&
              KVOPROS2_ATTR_DESCRIPTION == ChannelAttr::Description &&
              KVOPROS2_ATTR_CONNECTION_QUALITY == ChannelAttr::ConnectionQuality &&
              KVOPROS2_ATTR_FORMAT == ChannelAttr::FormatString &&
              KVOPROS2_ATTR_MASKED == ChannelAttr::Masked &&
              KVOPROS2_ATTR_DTYPE == ChannelAttr::DTYPE &&
              KVOPROS2_ATTR_SYSM == ChannelAttr::SYSM &&
              KVOPROS2_ATTR_ALARM_ID == ChannelAttr::AlarmID &&
              KVOPROS2_ATTR_SIGNIFICATION == ChannelAttr::Signification &&
              KVOPROS2_ATTR_QUALITY_TEXT == ChannelAttr::QualityTextBase);

constexpr int Code(TCallResult result) { return static_cast<int>(result); }
static_assert(KVOPROS2_RESULT_OK == Code(TCallResult::Ok) &&
              KVOPROS2_RESULT_UNCHANGED == Code(TCallResult::Unchanged) &&
              KVOPROS2_RESULT_NO_CLIENT == Code(TCallResult::NoClient) &&
              KVOPROS2_RESULT_UNKNOWN_CHANNEL == Code(TCallResult::UnknownChannel) &&
              KVOPROS2_RESULT_EMPTY_ADDRESS == Code(TCallResult::EmptyAddress) &&
              KVOPROS2_RESULT_BAD_TYPE == Code(TCallResult::BadType) &&
              KVOPROS2_RESULT_TOO_LARGE == Code(TCallResult::TooLarge) &&
              KVOPROS2_RESULT_NOT_CONVERTIBLE == Code(TCallResult::NotConvertible) &&
              KVOPROS2_RESULT_REPLACED == Code(TCallResult::Replaced) &&
              KVOPROS2_RESULT_QUEUE_EMPTY == Code(TCallResult::QueueEmpty) &&
              KVOPROS2_RESULT_IN_CALLBACK == Code(TCallResult::InCallback) &&
              KVOPROS2_RESULT_BAD_ID == Code(TCallResult::BadId) &&
              KVOPROS2_RESULT_BAD_TIME == Code(TCallResult::BadTime) &&
              KVOPROS2_RESULT_BAD_ARGUMENT == Code(TCallResult::BadArgument) &&
              KVOPROS2_RESULT_UNKNOWN_OPTION == Code(TCallResult::UnknownOption) &&
              KVOPROS2_RESULT_OUT_OF_RANGE == Code(TCallResult::OutOfRange) &&
              KVOPROS2_RESULT_CLIENT_EXISTS == Code(TCallResult::ClientExists) &&
              KVOPROS2_RESULT_NO_RESOURCES == Code(TCallResult::NoResources));

static_assert(KVOPROS2_LOG_ERROR == TLogControl::kLevelError &&
              KVOPROS2_LOG_INFO == TLogControl::kLevelInfo &&
              KVOPROS2_LOG_DEBUG == TLogControl::kLevelDebug &&
              KVOPROS2_LOG_WARNING == TLogControl::kLevelWarning);

struct TNamedCode {
  unsigned code;
  std::string_view text;
};

constexpr TNamedCode kSignifications[] = {
    {KVOPROS2_SIGNIFICATION_UNDEFINED, "Не определено"_cp},
    {KVOPROS2_SIGNIFICATION_PULSE_COUNTER, "Интегратор в импульсах"_cp},
    {KVOPROS2_SIGNIFICATION_UNIT_COUNTER, "Интегратор в физических единицах"_cp},
    {KVOPROS2_SIGNIFICATION_CONTROL, "Канал управления"_cp},
    {KVOPROS2_SIGNIFICATION_MONITOR, "Канал контроля"_cp},
    {KVOPROS2_SIGNIFICATION_INTRUSION_SENSOR, "Охранный датчик"_cp},
    {KVOPROS2_SIGNIFICATION_FIRE_SENSOR, "Пожарный датчик"_cp},
    {KVOPROS2_SIGNIFICATION_SECURITY_STATE, "Состояние охраны"_cp},
    {KVOPROS2_SIGNIFICATION_GAS_SENSOR, "Газовый датчик"_cp},
    {KVOPROS2_SIGNIFICATION_TEMPERATURE, "Датчик температуры"_cp},
    {KVOPROS2_SIGNIFICATION_MANUAL_CALL_POINT, "Пожарный ручной извещатель"_cp},
    {KVOPROS2_SIGNIFICATION_FLOOD_SENSOR, "Датчик затопления"_cp},
    {KVOPROS2_SIGNIFICATION_ELEVATOR, "Лифт"_cp},
    {KVOPROS2_SIGNIFICATION_PRESSURE, "Датчик давления"_cp},
    {KVOPROS2_SIGNIFICATION_POWER, "Мощность"_cp},
    {KVOPROS2_SIGNIFICATION_ENTHALPY, "Энтальпия"_cp},
    {KVOPROS2_SIGNIFICATION_FLOW_RATE, "Мгновенный (текущий) расход"_cp},
};

constexpr TNamedCode kQualities[] = {
    {KVOPROS2_QUALITY_GOOD, "ОК"_cp},
    {KVOPROS2_QUALITY_OFF, "Выключен"_cp},
    {KVOPROS2_QUALITY_UNDEFINED, "Состояние не определено"_cp},
    {KVOPROS2_QUALITY_SENSOR_FAULT, "Неисправен датчик"_cp},
    {KVOPROS2_QUALITY_CONTROLLER_FAULT, "Неисправен контроллер"_cp},
    {KVOPROS2_QUALITY_UNRELIABLE, "Значение недостоверно"_cp},
    {KVOPROS2_QUALITY_SENSOR_DISCONNECTED, "Датчик не подключен"_cp},
    {KVOPROS2_QUALITY_NO_LINK, "Нет связи"_cp},
    {KVOPROS2_QUALITY_RECORDER_FAULT, "Неисправен регистратор"_cp},
};

TEST(HeaderConstants, SignificationsAndQualitiesNameWhatTheLibraryShows) {
  for (const TNamedCode& s : kSignifications)
    EXPECT_EQ(SignificationToText(static_cast<std::uint16_t>(s.code)), s.text) << s.code;
  for (const TNamedCode& q : kQualities)
    EXPECT_EQ(QualityToText(static_cast<std::uint8_t>(q.code)), q.text) << q.code;
}

}  // namespace
}  // namespace kv

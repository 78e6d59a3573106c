#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "sensor/sensor_data.h"

namespace {

using nlohmann::json;

// The frame in a heap block of exactly 11 bytes, so that a read past its end
// is caught by the address sanitizer.
std::tuple<json, int> Decode(const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(bytes.size(), kSensorFrameSize);
  std::unique_ptr<uint8_t[]> frame(new uint8_t[kSensorFrameSize]);
  std::copy(bytes.begin(), bytes.end(), frame.get());
  return SensorDataToJson(frame.get());
}

std::vector<uint8_t> Frame(uint8_t type, uint8_t index, uint8_t kind, uint32_t ts, uint32_t value) {
  return {type,
          index,
          kind,
          static_cast<uint8_t>(ts),
          static_cast<uint8_t>(ts >> 8),
          static_cast<uint8_t>(ts >> 16),
          static_cast<uint8_t>(ts >> 24),
          static_cast<uint8_t>(value),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

TEST(SensorDataToJson, DecodesTheReferenceFrames) {
  struct Case {
    std::vector<uint8_t> frame;
    std::string text;
    int index;
  };
  const Case cases[] = {
      {{0x0B, 0x00, 0x02, 0x80, 0x65, 0x71, 0x5F, 0x00, 0x00, 0xC8, 0x41},
       R"({"k":"PM_1_0","ts":1601267072,"v":25.0})", 0},
      {{0x02, 0x03, 0x01, 0x00, 0xF1, 0x53, 0x65, 0x83, 0xFF, 0xFF, 0xFF},
       R"({"k":"AT","ts":1700000000,"v":-125})", 3},
      {{0x0D, 0x00, 0x00, 0x00, 0xF1, 0x53, 0x65, 0x00, 0x5E, 0xD0, 0xB2},
       R"({"k":"PM_10","ts":1700000000,"v":3000000000})", 0},
  };
  for (const auto& c : cases) {
    const auto [reading, index] = Decode(c.frame);
    EXPECT_EQ(reading.dump(), c.text);
    EXPECT_EQ(index, c.index);
  }
}

TEST(SensorDataToJson, ValueKindsGiveTheirJsonNumberKinds) {
  {
    const auto [reading, index] = Decode(Frame(13, 0, 0, 1700000000, 3000000000u));
    ASSERT_TRUE(reading.at("v").is_number_unsigned()) << "kind 0: the top bit is no sign";
    EXPECT_EQ(reading.at("v").get<uint64_t>(), 3000000000u);
    EXPECT_EQ(std::get<0>(Decode(Frame(13, 0, 0, 0, 0xFFFFFFFFu))).at("v").get<uint64_t>(), 4294967295u);
  }
  {
    const auto [reading, index] = Decode(Frame(2, 0, 1, 0, 0x80000000u));
    ASSERT_TRUE(reading.at("v").is_number_integer());
    EXPECT_FALSE(reading.at("v").is_number_unsigned());
    EXPECT_EQ(reading.at("v").get<int64_t>(), -2147483648LL);
  }
  {
    const auto [reading, index] = Decode(Frame(2, 0, 1, 0, 0x7FFFFFFFu));
    EXPECT_EQ(reading.at("v").get<int64_t>(), 2147483647LL);
  }
  {
    // The float nearest 0.1, widened exactly rather than rounded to 0.1.
    const auto [reading, index] = Decode(Frame(3, 0, 2, 0, 0x3DCCCCCDu));
    ASSERT_TRUE(reading.at("v").is_number_float());
    EXPECT_EQ(reading.at("v").get<double>(), static_cast<double>(0.1f));
    EXPECT_NE(reading.at("v").get<double>(), 0.1);
    EXPECT_EQ(reading.dump(), R"({"k":"RH","ts":0,"v":0.10000000149011612})");
  }
  {
    const auto [reading, index] = Decode(Frame(3, 0, 2, 0, 0x7FC00000u));
    ASSERT_TRUE(reading.at("v").is_number_float());
    EXPECT_TRUE(std::isnan(reading.at("v").get<double>()));
    EXPECT_EQ(reading.dump(), R"({"k":"RH","ts":0,"v":null})");
  }
  {
    const auto [reading, index] = Decode(Frame(3, 0, 2, 0, 0xFF800000u));
    EXPECT_TRUE(std::isinf(reading.at("v").get<double>()));
    EXPECT_LT(reading.at("v").get<double>(), 0);
  }
}

TEST(SensorDataToJson, KindsAboveTwoCarryNoValue) {
  for (int kind = 3; kind <= 255; ++kind) {
    const auto [reading, index] = Decode(Frame(22, 1, static_cast<uint8_t>(kind), 1700000000, 7));
    EXPECT_EQ(reading.dump(), R"({"k":"PO","ts":1700000000})") << "kind " << kind;
    EXPECT_EQ(index, 1);
  }
}

TEST(SensorDataToJson, TimestampIsUnsignedAndUnchanged) {
  const auto [reading, index] = Decode(Frame(1, 0, 1, 0xFFFFFFFFu, 1));
  ASSERT_TRUE(reading.at("ts").is_number_unsigned());
  EXPECT_EQ(reading.at("ts").get<uint64_t>(), 4294967295u);
  EXPECT_EQ(reading.dump(), R"({"k":"DT","ts":4294967295,"v":1})");
}

TEST(SensorDataToJson, IndexByteIsUnsigned) {
  const auto [reading, index] = Decode(Frame(4, 255, 0, 1, 2));
  EXPECT_EQ(index, 255);
  EXPECT_EQ(reading.at("k"), "LX");
}

TEST(SensorDataToJson, EveryTableRowHasItsName) {
  const char* names[] = {"DT", "AT", "RH", "LX", "AP", "NL", "CM", "CD", "ECD", "TV", "PM_1_0",
                         "PM_2_5", "PM_10", "PS", "MS", "PH", "EC", "CI", "VI", "SD", "PI", "PO"};
  for (int id = 1; id <= 22; ++id) {
    const auto [reading, index] = Decode(Frame(static_cast<uint8_t>(id), 0, 0, 0, 0));
    EXPECT_EQ(reading.at("k"), names[id - 1]) << "id " << id;
  }
}

TEST(SensorDataToJson, UnknownTypeIdGivesNoReadingAndOneErrorRecord) {
  testsupport::LogCapture log;
  std::vector<int> ids = {0};
  for (int id = 23; id <= 255; ++id) ids.push_back(id);
  for (int id : ids) {
    const auto [reading, index] = Decode(Frame(static_cast<uint8_t>(id), 9, 0, 1700000000, 5));
    EXPECT_TRUE(reading.is_null()) << "id " << id << ": " << reading.dump();
    EXPECT_EQ(index, 9);
  }
  const auto errors = log.Messages("ERROR");
  EXPECT_EQ(errors.size(), ids.size());
  for (const auto& message : errors) EXPECT_EQ(message, "_Map_base::at");
  EXPECT_EQ(log.Records().size(), ids.size()) << "nothing but the error records";
}

TEST(SensorDataToJson, KnownTypeIdWritesNoRecord) {
  testsupport::LogCapture log;
  Decode(Frame(12, 0, 1, 1, 12));
  Decode(Frame(12, 0, 9, 1, 12));
  EXPECT_TRUE(log.Records().empty());
}

}  // namespace

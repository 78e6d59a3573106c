// blob buffers, blobmsg and the JSON conversions. Expected bytes and texts
// were taken from the platform's own libubox and libblobmsg-json.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {  // the platform's libubox headers have no C++ guards
#include <libubox/blobmsg_json.h>
}

namespace {

std::string Hex(const blob_attr* attr) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(attr);
  for (size_t i = 0; i < blob_pad_len(attr); ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string Take(char* text) {
  if (!text) return "<null>";
  std::string out(text);
  free(text);
  return out;
}

// A blob buffer initialised for a message and freed at the end of scope.
struct Buf : blob_buf {
  Buf() : blob_buf{} { blob_buf_init(this, 0); }
  ~Buf() { blob_buf_free(this); }
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;

  bool AddJson(const std::string& json) { return blobmsg_add_json_from_string(this, json.c_str()); }
  std::string Compact() { return Take(blobmsg_format_json_with_cb(head, true, nullptr, nullptr, -1)); }
  std::string Indented(int level = 0) { return Take(blobmsg_format_json_indent(head, true, level)); }
};

// JSON text in, compact JSON text out; "<rejected>" when not accepted.
std::string RoundTrip(const std::string& json) {
  Buf b;
  if (!b.AddJson(json)) return "<rejected>";
  return b.Compact();
}

// blobmsg type of each member of a table built from JSON.
std::vector<int> MemberTypes(const std::string& json) {
  Buf b;
  std::vector<int> types;
  if (!b.AddJson(json)) return types;
  blob_attr* cur;
  size_t rem;
  blob_for_each_attr(cur, b.head, rem) types.push_back(blobmsg_type(cur));
  return types;
}

TEST(BlobmsgJson, EveryValueKindRoundTripsWithThePlatformTypes) {
  EXPECT_EQ(RoundTrip(R"({"i":5,"l":5000000000,"d":2.5,"b":true,"n":null,"s":"x","a":[1],"t":{}})"),
            R"({"i":5,"l":5000000000,"d":2.500000,"b":true,"n":null,"s":"x","a":[1],"t":{}})");
  EXPECT_EQ(MemberTypes(R"({"i":5,"l":5000000000,"d":2.5,"b":true,"n":null,"s":"x","a":[1],"t":{}})"),
            (std::vector<int>{BLOBMSG_TYPE_INT32, BLOBMSG_TYPE_INT64, BLOBMSG_TYPE_DOUBLE, BLOBMSG_TYPE_BOOL,
                              BLOBMSG_TYPE_UNSPEC, BLOBMSG_TYPE_STRING, BLOBMSG_TYPE_ARRAY, BLOBMSG_TYPE_TABLE}));
}

TEST(BlobmsgJson, IntegersSwitchToInt64ExactlyBeyondInt32) {
  const std::string json =
      R"({"a":1,"b":-2147483648,"c":2147483648,"d":-9223372036854775808,"e":9223372036854775807})";
  Buf b;
  ASSERT_TRUE(b.AddJson(json));
  EXPECT_EQ(b.Compact(), json);
  EXPECT_EQ(Hex(b.head),
            "0000004c8500000c00016100000000018500000c0001620080000000840000100001630000000000800000008400001000"
            "016400800000000000000084000010000165007fffffffffffffff");
  EXPECT_EQ(MemberTypes(R"({"x":2147483647,"y":-2147483649})"),
            (std::vector<int>{BLOBMSG_TYPE_INT32, BLOBMSG_TYPE_INT64}));
  // json-c saturates integers beyond the 64-bit range.
  EXPECT_EQ(RoundTrip(R"({"big":18446744073709551615})"), R"({"big":9223372036854775807})");
}

TEST(BlobmsgJson, DoublesPrintWithSixDecimals) {
  Buf b;
  ASSERT_TRUE(b.AddJson(R"({"v":25.0,"f":0.10000000149011612,"g":1.5e-7,"i":-0.5,"j":123456.789})"));
  EXPECT_EQ(b.Compact(), R"({"v":25.000000,"f":0.100000,"g":0.000000,"i":-0.500000,"j":123456.789000})");

  const std::string huge = RoundTrip(R"({"h":1e300})");
  // {"h": + 301 digits + .000000 + }
  ASSERT_EQ(huge.size(), 5 + 301 + 7 + 1);
  EXPECT_EQ(huge.substr(0, 25), R"({"h":10000000000000000525)");
  EXPECT_EQ(huge.substr(huge.size() - 8), ".000000}");
}

TEST(BlobmsgJson, StringsEscapeQuotesBackslashesAndControlsAndPassUtf8Through) {
  EXPECT_EQ(RoundTrip(R"({"s":"q\"\\\/\b\f\n\r\t\u0001\u001f é €"})"),
            "{\"s\":\"q\\\"\\\\/\\b\\u000c\\n\\r\\t\\u0001\\u001f é €\"}");
  EXPECT_EQ(RoundTrip("{\"k\\u00e9y\":\"\"}"), "{\"kéy\":\"\"}");
}

TEST(BlobmsgJson, NestedContainersKeepOrderAndShape) {
  const std::string json = R"({"arr":[1,[2,[3]],{"x":{}},[],""],"o":{"p":{"q":[]}}})";
  Buf b;
  ASSERT_TRUE(b.AddJson(json));
  EXPECT_EQ(b.Compact(), json);
  EXPECT_EQ(RoundTrip(R"({"z":1,"a":2,"m":3})"), R"({"z":1,"a":2,"m":3})");
  EXPECT_EQ(RoundTrip(R"({"dup":1,"dup":2})"), R"({"dup":2})");
}

TEST(BlobmsgJson, OnlyAnObjectIsAcceptedAtTheTopLevel) {
  EXPECT_EQ(RoundTrip("[1,2]"), "<rejected>");
  EXPECT_EQ(RoundTrip("3"), "<rejected>");
  EXPECT_EQ(RoundTrip("\"text\""), "<rejected>");
  EXPECT_EQ(RoundTrip("null"), "<rejected>");
  EXPECT_EQ(RoundTrip(R"({"a":1)"), "<rejected>");
  EXPECT_EQ(RoundTrip("not json"), "<rejected>");
  EXPECT_EQ(RoundTrip(""), "<rejected>");
  EXPECT_EQ(RoundTrip("{}"), "{}");
  // json-c stops at the end of the first value.
  EXPECT_EQ(RoundTrip(R"({"a":1} trailing)"), R"({"a":1})");
}

TEST(BlobmsgJson, IndentedOutputUsesTabsAndKeepsEmptyContainersOpen) {
  Buf b;
  ASSERT_TRUE(b.AddJson(R"({"a":1,"t":{},"l":["x",{"y":false}]})"));
  EXPECT_EQ(b.Indented(0),
            "{\n\t\"a\": 1,\n\t\"t\": {\n\t\t\n\t},\n\t\"l\": [\n\t\t\"x\",\n\t\t{\n\t\t\t\"y\": false\n\t\t}\n\t]\n}");
  Buf empty;
  EXPECT_EQ(empty.Indented(0), "{\n\t\n}");
  EXPECT_EQ(empty.Compact(), "{}");
}

TEST(BlobmsgJson, CallbackReplacesTheValuesItAnswers) {
  Buf b;
  ASSERT_TRUE(b.AddJson(R"({"a":1,"b":"s","c":[2]})"));
  auto cb = [](void*, blob_attr* attr) -> const char* {
    return blobmsg_type(attr) == BLOBMSG_TYPE_INT32 ? "\"int\"" : nullptr;
  };
  EXPECT_EQ(Take(blobmsg_format_json_with_cb(b.head, true, cb, nullptr, -1)), R"({"a":"int","b":"s","c":["int"]})");
}

TEST(BlobmsgJson, SingleValuesRenderWithAndWithoutName) {
  Buf b;
  ASSERT_TRUE(b.AddJson(R"({"t":{"k":[1,true]}})"));
  blob_attr* t = static_cast<blob_attr*>(blob_data(b.head));
  EXPECT_EQ(Take(blobmsg_format_json(t, false)), R"("t":{"k":[1,true]})");
  EXPECT_EQ(Take(blobmsg_format_json_value(t)), R"({"k":[1,true]})");
  EXPECT_EQ(Take(blobmsg_format_json(t, true)), R"({"k":[1,true]})");
}

TEST(Blobmsg, BuilderProducesThePlatformBytes) {
  Buf b;
  blobmsg_add_u8(&b, "u8", 200);
  blobmsg_add_u16(&b, "u16", 65000);
  blobmsg_add_u32(&b, "u32", 4000000000u);
  blobmsg_add_u64(&b, "u64", 0xfedcba9876543210ull);
  blobmsg_add_double(&b, "dbl", 3.25);
  blobmsg_add_string(&b, "", "noname");
  void* table = blobmsg_open_table(&b, "tbl");
  blobmsg_add_string(&b, "k", "v");
  void* array = blobmsg_open_array(&b, "arr");
  blobmsg_add_u32(&b, nullptr, 7);
  blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "x", nullptr, 0);
  blobmsg_close_array(&b, array);
  blobmsg_close_table(&b, table);
  blobmsg_printf(&b, "pf", "%d-%s", 42, "abc");
  char* text = static_cast<char*>(blobmsg_alloc_string_buffer(&b, "sb", 3));
  strcpy(text, "xy");
  text = static_cast<char*>(blobmsg_realloc_string_buffer(&b, 100));
  strcpy(text, "a longer string that needs more room than three bytes");
  blobmsg_add_string_buffer(&b);
  blob_put_u32(&b, 5, 77);

  EXPECT_EQ(Hex(b.head),
            "000001048700000d0002753800000000c80000008600000e0003753136000000fde80000850000100003753332000000ee6b28"
            "00840000140003753634000000fedcba987654321088000014000364626c000000400a0000000000008300000f0000000"
            "06e6f6e616d65000082000038000374626c0000008300000a00016b00760000008100002000036172720000008500000c0"
            "000000000000007800000080001780083000013000270660000000034322d616263000083000042000273620000000061"
            "206c6f6e67657220737472696e672074686174206e65656473206d6f726520726f6f6d207468616e2074687265652062"
            "79746573000000050000080000004d");
  EXPECT_EQ(b.Compact(),
            R"({"u8":true,"u16":-536,"u32":-294967296,"u64":-81985529216486896,"dbl":3.250000,"noname",)"
            R"("tbl":{"k":"v","arr":[7,null]},"pf":"42-abc",)"
            R"("sb":"a longer string that needs more room than three bytes",77})");
}

TEST(Blobmsg, GettersReadWhatTheBuilderWrote) {
  Buf b;
  blobmsg_add_u8(&b, "b", 1);
  blobmsg_add_u16(&b, "s", 0xfffe);
  blobmsg_add_u32(&b, "i", 0xfffffffe);
  blobmsg_add_u64(&b, "l", 0xfffffffffffffffeull);
  blobmsg_add_double(&b, "d", -1.25);
  blobmsg_add_string(&b, "t", "text");
  std::vector<blob_attr*> attrs;
  blob_attr* cur;
  size_t rem;
  blob_for_each_attr(cur, b.head, rem) attrs.push_back(cur);
  ASSERT_EQ(attrs.size(), 6u);
  EXPECT_TRUE(blobmsg_get_bool(attrs[0]));
  EXPECT_EQ(blobmsg_get_u16(attrs[1]), 0xfffe);
  EXPECT_EQ(blobmsg_get_u32(attrs[2]), 0xfffffffeu);
  EXPECT_EQ(blobmsg_get_u64(attrs[3]), 0xfffffffffffffffeull);
  EXPECT_EQ(blobmsg_get_double(attrs[4]), -1.25);
  EXPECT_STREQ(blobmsg_get_string(attrs[5]), "text");
  EXPECT_STREQ(blobmsg_name(attrs[5]), "t");
  EXPECT_EQ(blobmsg_cast_s64(attrs[1]), -2);
  EXPECT_EQ(blobmsg_cast_s64(attrs[2]), -2);
  EXPECT_EQ(blobmsg_cast_s64(attrs[3]), -2);
  EXPECT_EQ(blobmsg_cast_u64(attrs[2]), 0xfffffffeull);
  EXPECT_EQ(blobmsg_cast_u64(attrs[5]), 0u);
}

enum { P_NAME, P_COUNT, P_ANY, P_WIDE, P_MISSING, P_MAX };
const blobmsg_policy kPolicy[P_MAX] = {
    {"name", BLOBMSG_TYPE_STRING}, {"count", BLOBMSG_TYPE_INT32},     {"any", BLOBMSG_TYPE_UNSPEC},
    {"wide", BLOBMSG_CAST_INT64},  {"missing", BLOBMSG_TYPE_STRING},
};

TEST(Blobmsg, ParseMatchesNameAndTypeAndKeepsTheFirstMatch) {
  Buf b;
  blobmsg_add_string(&b, "count", "not a number");
  blobmsg_add_string(&b, "name", "first");
  void* list = blobmsg_open_array(&b, "any");
  blobmsg_close_array(&b, list);
  blobmsg_add_u32(&b, "wide", 7);
  blobmsg_add_u32(&b, "count", 3);
  blobmsg_add_string(&b, "name", "second");
  blobmsg_add_string(&b, "missing_not", "x");
  blob_attr* tb[P_MAX];
  ASSERT_EQ(blobmsg_parse(kPolicy, P_MAX, tb, blob_data(b.head), blob_len(b.head)), 0);
  ASSERT_NE(tb[P_NAME], nullptr);
  EXPECT_STREQ(blobmsg_get_string(tb[P_NAME]), "first");
  ASSERT_NE(tb[P_COUNT], nullptr);  // the string "count" has the wrong type
  EXPECT_EQ(blobmsg_get_u32(tb[P_COUNT]), 3u);
  ASSERT_NE(tb[P_ANY], nullptr);
  EXPECT_EQ(blobmsg_type(tb[P_ANY]), BLOBMSG_TYPE_ARRAY);
  ASSERT_NE(tb[P_WIDE], nullptr);
  EXPECT_EQ(blobmsg_cast_s64(tb[P_WIDE]), 7);
  EXPECT_EQ(tb[P_MISSING], nullptr);

  EXPECT_LT(blobmsg_parse(kPolicy, P_MAX, tb, nullptr, 0), 0);
  for (auto* attr : tb) EXPECT_EQ(attr, nullptr);
}

TEST(Blobmsg, ParseArrayTakesMembersByPosition) {
  Buf b;
  ASSERT_TRUE(b.AddJson(R"({"l":["a",2,"b"]})"));
  blob_attr* list = static_cast<blob_attr*>(blob_data(b.head));
  const blobmsg_policy positions[] = {{nullptr, BLOBMSG_TYPE_STRING}, {nullptr, BLOBMSG_TYPE_INT32}};
  blob_attr* tb[2];
  ASSERT_EQ(blobmsg_parse_array_attr(positions, 2, tb, list), 0);
  ASSERT_NE(tb[0], nullptr);
  ASSERT_NE(tb[1], nullptr);
  EXPECT_STREQ(blobmsg_get_string(tb[0]), "a");
  EXPECT_EQ(blobmsg_get_u32(tb[1]), 2u);
  EXPECT_EQ(blobmsg_check_array(list, BLOBMSG_TYPE_UNSPEC), 3);
  EXPECT_EQ(blobmsg_check_array(list, BLOBMSG_TYPE_STRING), -1);
}

TEST(Blobmsg, ValidationRejectsMalformedAttributes) {
  Buf b;
  blobmsg_add_string(&b, "s", "ok");
  blobmsg_add_u32(&b, "i", 1);
  blob_attr* s = static_cast<blob_attr*>(blob_data(b.head));
  blob_attr* i = blob_next(s);
  EXPECT_TRUE(blobmsg_check_attr(s, true));
  EXPECT_TRUE(blobmsg_check_attr(i, true));
  EXPECT_TRUE(blobmsg_check_attr_len(i, true, blob_pad_len(i)));
  EXPECT_FALSE(blobmsg_check_attr_len(i, true, blob_pad_len(i) - 1));

  std::vector<unsigned char> copy(reinterpret_cast<unsigned char*>(s),
                                  reinterpret_cast<unsigned char*>(s) + blob_pad_len(s));
  auto* bad = reinterpret_cast<blob_attr*>(copy.data());
  const size_t value_end = blob_raw_len(s) - 1;
  copy[value_end] = 'x';  // string without its NUL
  EXPECT_FALSE(blobmsg_check_attr(bad, true));
  copy[value_end] = 0;
  copy[4 + 2 + 1] = 'x';  // name "s" without its NUL
  EXPECT_FALSE(blobmsg_check_attr(bad, true));

  // An INT32 whose value is two bytes long.
  Buf w;
  const uint16_t two = 0;
  blobmsg_add_field(&w, BLOBMSG_TYPE_INT32, "n", &two, sizeof(two));
  EXPECT_FALSE(blobmsg_check_attr(static_cast<blob_attr*>(blob_data(w.head)), true));

  // A member without a name inside a table.
  Buf t;
  void* c = blobmsg_open_table(&t, "t");
  blobmsg_add_u32(&t, nullptr, 1);
  blobmsg_close_table(&t, c);
  blob_attr* table = static_cast<blob_attr*>(blob_data(t.head));
  EXPECT_EQ(blobmsg_check_array(table, BLOBMSG_TYPE_UNSPEC), -1);
  EXPECT_TRUE(blobmsg_check_attr_list(table, BLOBMSG_TYPE_UNSPEC) == false);
}

TEST(Blob, ParseUntrustedStopsAtTheGivenLengthAndChecksTypes) {
  Buf b;
  blob_put_u32(&b, 1, 10);
  blob_put_string(&b, 2, "str");
  blob_put_u8(&b, 3, 1);  // policy wants INT32: refused
  const blob_attr_info info[4] = {{}, {BLOB_ATTR_INT32, 0, 0, nullptr}, {BLOB_ATTR_STRING, 0, 0, nullptr},
                                  {BLOB_ATTR_INT32, 0, 0, nullptr}};
  blob_attr* tb[4];
  EXPECT_EQ(blob_parse_untrusted(b.head, blob_raw_len(b.head), tb, info, 4), 2);
  ASSERT_NE(tb[1], nullptr);
  EXPECT_EQ(blob_get_u32(tb[1]), 10u);
  ASSERT_NE(tb[2], nullptr);
  EXPECT_STREQ(blob_get_string(tb[2]), "str");
  EXPECT_EQ(tb[3], nullptr);
  // A buffer shorter than the outer attribute claims is not parsed at all.
  EXPECT_EQ(blob_parse_untrusted(b.head, blob_raw_len(b.head) - 4, tb, info, 4), 0);
}

TEST(Blob, NestingMemdupAndEquality) {
  Buf b;
  void* outer = blob_nest_start(&b, 1);
  blob_put_u64(&b, 2, 0x0102030405060708ull);
  void* inner = blob_nest_start(&b, 3);
  blob_put_string(&b, 4, "in");
  blob_nest_end(&b, inner);
  blob_nest_end(&b, outer);
  EXPECT_EQ(Hex(b.head), "000000200100001c0200000c01020304050607080300000c04000007696e0000");
  blob_attr* copy = blob_memdup(b.head);
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(blob_attr_equal(copy, b.head));
  blob_put_u8(&b, 5, 1);
  EXPECT_FALSE(blob_attr_equal(copy, b.head));
  free(copy);
}

}  // namespace

#include "support/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace morvane::json {
namespace {

constexpr auto U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr auto I64_MIN = std::numeric_limits<std::int64_t>::min();

// ----- documents that parse ------------------------------------------------------

struct ValidCase {
    std::string text;
    Value expected;
};

class ValidDocumentTest : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidDocumentTest, Parses) {
    auto result = parse(GetParam().text);
    ASSERT_TRUE(result.has_value())
        << "'" << GetParam().text << "': " << result.error().to_string();
    EXPECT_EQ(*result, GetParam().expected) << "'" << GetParam().text << "' read as "
                                           << write(*result);
    // The storage kind matters to readers: integers stay integers, anything
    // with a fraction or exponent is a double.
    EXPECT_EQ(result->storage().index(), GetParam().expected.storage().index())
        << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidDocumentTest,
    ::testing::Values(
        ValidCase{"null", Null{}}, ValidCase{"true", true}, ValidCase{" false ", false},
        ValidCase{"0", std::uint64_t{0}}, ValidCase{"42", std::uint64_t{42}},
        ValidCase{"-42", std::int64_t{-42}}, ValidCase{"18446744073709551615", U64_MAX},
        ValidCase{"-9223372036854775808", I64_MIN},
        ValidCase{"18446744073709551616", 18446744073709551616.0},
        ValidCase{"-9223372036854775809", -9223372036854775809.0}, ValidCase{"1.5", 1.5},
        ValidCase{"-0.25", -0.25}, ValidCase{"1e2", 100.0}, ValidCase{"1E+2", 100.0},
        ValidCase{"25e-2", 0.25}, ValidCase{"2.0", 2.0}, ValidCase{"0.1", 0.1},
        ValidCase{"1e-400", 0.0}, ValidCase{"1.7976931348623157e308", 1.7976931348623157e308},
        ValidCase{"\"\"", ""}, ValidCase{"\"plain\"", "plain"},
        ValidCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        ValidCase{R"("a\u00e9b\u00E9")", "a\u00e9b\u00e9"},
        ValidCase{R"("\u0000")", std::string(1, '\0')},
        ValidCase{R"("\ud83d\ude00")", "\U0001F600"}, ValidCase{R"("\uDBFF\uDFFF")", "\U0010FFFF"},
        ValidCase{R"("\u20ac")", "\u20ac"},
        ValidCase{"\"\u00e9\u20ac\U0001F600\"", "\u00e9\u20ac\U0001F600"},
        ValidCase{"[]", Array{}}, ValidCase{"{}", Object{}},
        ValidCase{" \t\n\r[ 1 , -2 ,\"x\" ]\r\n", Array{std::uint64_t{1}, std::int64_t{-2}, "x"}},
        ValidCase{R"({"b":1,"a":[true,null],"c":{}})",
                  Object{{"b", std::uint64_t{1}}, {"a", Array{true, Null{}}}, {"c", Object{}}}},
        ValidCase{R"({"k":1,"k":2})", Object{{"k", std::uint64_t{1}}, {"k", std::uint64_t{2}}}},
        ValidCase{"[[[]]]", Array{Value(Array{Value(Array{})})}}));

// ----- documents that do not -----------------------------------------------------

struct InvalidCase {
    std::string text;
    std::size_t offset;
};

class InvalidDocumentTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidDocumentTest, FailsAtTheRightByte) {
    auto result = parse(GetParam().text);
    ASSERT_FALSE(result.has_value()) << "'" << GetParam().text << "' parsed as "
                                     << write(*result);
    EXPECT_EQ(result.error().offset, GetParam().offset)
        << "'" << GetParam().text << "': " << result.error().to_string();
    EXPECT_FALSE(result.error().message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidDocumentTest,
    ::testing::Values(
        InvalidCase{"", 0}, InvalidCase{"   ", 3}, InvalidCase{"[1,]", 3},
        InvalidCase{R"({"a":1,})", 7}, InvalidCase{"[1 2]", 3}, InvalidCase{"[1", 2},
        InvalidCase{"{", 1}, InvalidCase{R"({"a" 1})", 5}, InvalidCase{"{1:2}", 1},
        InvalidCase{R"({"a":})", 5}, InvalidCase{"01", 0}, InvalidCase{"-01", 1},
        InvalidCase{"00.5", 0}, InvalidCase{"1.", 2}, InvalidCase{".5", 0},
        InvalidCase{"+1", 0}, InvalidCase{"1e", 2}, InvalidCase{"1e+", 3},
        InvalidCase{"-", 1}, InvalidCase{"1.e3", 2}, InvalidCase{"NaN", 0},
        InvalidCase{"-Infinity", 1}, InvalidCase{"1e400", 0}, InvalidCase{"-1e400", 0},
        InvalidCase{"tru", 0}, InvalidCase{"nul", 0}, InvalidCase{"True", 0},
        InvalidCase{"'a'", 0}, InvalidCase{"\"abc", 4}, InvalidCase{R"("\x")", 1},
        InvalidCase{R"("\u12G4")", 5}, InvalidCase{R"("\u12")", 3},
        InvalidCase{R"("\ud800")", 1}, InvalidCase{R"("\udc00")", 1},
        InvalidCase{R"("\ud800\u0041")", 1}, InvalidCase{R"("\ud800x")", 1},
        InvalidCase{"\"tab\there\"", 4}, InvalidCase{"\"nl\n\"", 3},
        InvalidCase{"\"\xC3\x28\"", 1}, InvalidCase{"\"\xED\xA0\x80\"", 1},
        InvalidCase{"\"\xC0\xAF\"", 1}, InvalidCase{"\"\xF4\x90\x80\x80\"", 1},
        InvalidCase{"\"\xE2\x82\"", 1}, InvalidCase{"\"\xFF\"", 1},
        InvalidCase{"\xEF\xBB\xBF{}", 0}, InvalidCase{"// c\n1", 0}, InvalidCase{"/* */1", 0},
        InvalidCase{"[1]x", 3}, InvalidCase{"[1] [2]", 4}, InvalidCase{R"({"a":1}})", 7},
        InvalidCase{"1 2", 2}, InvalidCase{std::string("[\0]", 3), 1}));

// ----- nesting ---------------------------------------------------------------------

std::string nested(std::size_t depth, char open, char close, std::string_view inner = "") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += open;
        if (open == '{') text += "\"k\":";
    }
    if (open == '{') text += inner.empty() ? "0" : inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JsonDepth, TwoHundredFiftySixLevelsAreAccepted) {
    EXPECT_TRUE(parse(nested(256, '[', ']')).has_value());
    EXPECT_TRUE(parse(nested(256, '{', '}')).has_value());
}

TEST(JsonDepth, DeeperNestingIsAnErrorNotACrash) {
    auto arrays = parse(nested(257, '[', ']'));
    ASSERT_FALSE(arrays.has_value());
    EXPECT_EQ(arrays.error().offset, 256u);

    auto objects = parse(nested(257, '{', '}'));
    ASSERT_FALSE(objects.has_value());
    EXPECT_EQ(objects.error().offset, 256u * 5u);

    // Far beyond any stack: must fail fast and cleanly.
    std::string deep(1'000'000, '[');
    auto huge = parse(deep);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error().offset, 256u);
}

TEST(JsonParseError, DisplayText) {
    auto result = parse("[1,]");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().to_string(), result.error().message + " at byte 3");
}

// ----- writing ---------------------------------------------------------------------

struct WriteCase {
    Value value;
    std::string compact;
};

class WriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, CompactTextAndRoundTrip) {
    const auto& [value, compact] = GetParam();
    EXPECT_EQ(write(value), compact);
    auto back = parse(compact);
    ASSERT_TRUE(back.has_value()) << compact << ": " << back.error().to_string();
    EXPECT_EQ(*back, value) << compact;
    EXPECT_EQ(write(*back), compact);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteTest,
    ::testing::Values(
        WriteCase{Null{}, "null"}, WriteCase{true, "true"}, WriteCase{0, "0"},
        WriteCase{-17, "-17"}, WriteCase{U64_MAX, "18446744073709551615"},
        WriteCase{I64_MIN, "-9223372036854775808"}, WriteCase{2.0, "2.0"},
        WriteCase{-0.0, "-0.0"}, WriteCase{0.1, "0.1"}, WriteCase{1.0 / 3.0, "0.3333333333333333"},
        WriteCase{1e20, "1e+20"}, WriteCase{123456789.0, "123456789.0"},
        WriteCase{5e-324, "5e-324"}, WriteCase{1.7976931348623157e308, "1.7976931348623157e+308"},
        WriteCase{"", "\"\""}, WriteCase{"say \"hi\"\\", R"("say \"hi\"\\")"},
        WriteCase{"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        WriteCase{std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
        WriteCase{"/\x7f", "\"/\x7f\""},
        WriteCase{"\u00e9\u20ac\U0001F600", "\"\u00e9\u20ac\U0001F600\""},
        WriteCase{Array{}, "[]"}, WriteCase{Object{}, "{}"},
        WriteCase{Array{1, "a", Array{Null{}}}, R"([1,"a",[null]])"},
        WriteCase{Object{{"z", 1}, {"a", Object{{"q", false}}}}, R"({"z":1,"a":{"q":false}})"}));

TEST(JsonWrite, NonFiniteDoublesBecomeNull) {
    Array values{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                 std::numeric_limits<double>::quiet_NaN()};
    EXPECT_EQ(write(Value(values)), "[null,null,null]");
}

TEST(JsonWrite, InvalidUtf8IsReplacedSoTheOutputStaysReadable) {
    std::string bytes = "a\xFF" "b\xC3" "c\xED\xA0\x80";
    std::string text = write(Value(bytes));
    auto back = parse(text);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back->as_string(),
              "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JsonWrite, DoublesRoundTripExactly) {
    for (double d : {0.1, 0.2 + 0.1, 1e-7, 6.02214076e23, 4.9e-324, 2.2250738585072014e-308,
                     -1234.5678, 9007199254740993.0, 1e15, 1e16, 1e17}) {
        auto back = parse(write(Value(d)));
        ASSERT_TRUE(back.has_value());
        ASSERT_NE(back->as_double(), std::nullopt);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*back->as_double()), std::bit_cast<std::uint64_t>(d))
            << write(Value(d));
        EXPECT_TRUE(std::holds_alternative<double>(back->storage())) << write(Value(d));
    }
}

TEST(JsonWrite, PrettyLayout) {
    Value cache = Object{{"schema", 2}, {"entries", Object{{"8", 14}}}};
    EXPECT_EQ(write_pretty(cache, 2),
              "{\n  \"schema\": 2,\n  \"entries\": {\n    \"8\": 14\n  }\n}");
    EXPECT_EQ(write_pretty(Object{{"entries", Object{}}, {"list", Array{}}}, 2),
              "{\n  \"entries\": {},\n  \"list\": []\n}");
    EXPECT_EQ(write_pretty(Array{1, Array{2, 3}}, 4),
              "[\n    1,\n    [\n        2,\n        3\n    ]\n]");
    EXPECT_EQ(write_pretty(Value(7), 2), "7");
    auto back = parse(write_pretty(cache, 2));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, cache);
}

// ----- accessors ---------------------------------------------------------------------

TEST(JsonValue, NumericAccessorsRespectRanges) {
    EXPECT_EQ(Value(std::int64_t{5}).as_uint(), 5u);
    EXPECT_EQ(Value(std::int64_t{-5}).as_uint(), std::nullopt);
    EXPECT_EQ(Value(U64_MAX).as_uint(), U64_MAX);
    EXPECT_EQ(Value(U64_MAX).as_int(), std::nullopt);
    EXPECT_EQ(Value(std::uint64_t{1} << 63).as_int(), std::nullopt);
    EXPECT_EQ(Value((std::uint64_t{1} << 63) - 1).as_int(),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Value(3.0).as_uint(), std::nullopt);
    EXPECT_EQ(Value(3.0).as_int(), std::nullopt);
    EXPECT_EQ(Value(-2).as_double(), -2.0);
    EXPECT_EQ(Value(U64_MAX).as_double(), 18446744073709551616.0);
    EXPECT_EQ(Value("3").as_double(), std::nullopt);
    EXPECT_EQ(Value(true).as_uint(), std::nullopt);
}

TEST(JsonValue, FindTakesTheFirstMatchingMember) {
    auto doc = parse(R"({"schema":2,"entries":{"8":14},"schema":3})");
    ASSERT_TRUE(doc.has_value());
    ASSERT_NE(doc->find("schema"), nullptr);
    EXPECT_EQ(doc->find("schema")->as_uint(), 2u);
    EXPECT_EQ(doc->find("entries")->find("8")->as_uint(), 14u);
    EXPECT_EQ(doc->find("missing"), nullptr);
    EXPECT_EQ(Value(Array{1}).find("0"), nullptr);
    EXPECT_EQ(Value(2).find("schema"), nullptr);
}

TEST(JsonValue, IntegersCompareByValueFloatsStayApart) {
    EXPECT_EQ(Value(std::int64_t{5}), Value(std::uint64_t{5}));
    EXPECT_NE(Value(std::int64_t{-1}), Value(U64_MAX));
    EXPECT_NE(Value(5.0), Value(5));
    EXPECT_NE(Value("5"), Value(5));
    EXPECT_EQ(Value(Array{1, 2}), Value(Array{std::uint64_t{1}, std::uint64_t{2}}));
    EXPECT_NE(Value(Object{{"a", 1}}), Value(Object{{"b", 1}}));
}

}  // namespace
}  // namespace morvane::json

#include <gtest/gtest.h>

#include <string>

#include "transport/tensor.hpp"
#include "transport/unicode_lower.hpp"

namespace zelto {
namespace {

struct KnownName {
    std::string input;
    DType expected;
};

class DtypeKnownNames : public ::testing::TestWithParam<KnownName> {};

TEST_P(DtypeKnownNames, ParseToTheirType) {
    const auto parsed = parse_dtype(GetParam().input);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
    EXPECT_EQ(*parsed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CaseAndAliases, DtypeKnownNames,
    ::testing::Values(KnownName{"float32", DType::Float32}, KnownName{"FLOAT32", DType::Float32},
                      KnownName{"Float32", DType::Float32}, KnownName{"fP32", DType::Float32},
                      KnownName{"FP64", DType::Float64}, KnownName{"FP16", DType::Float16},
                      KnownName{"I32", DType::Int32}, KnownName{"Int64", DType::Int64},
                      KnownName{"i64", DType::Int64}, KnownName{"U8", DType::Uint8},
                      KnownName{"UINT8", DType::Uint8}, KnownName{"UTF8", DType::String},
                      KnownName{"STRING", DType::String}));

struct UnknownName {
    std::string input;
    std::string lowered;
};

class DtypeUnknownNames : public ::testing::TestWithParam<UnknownName> {};

TEST_P(DtypeUnknownNames, ReportTheLowerCasedName) {
    const auto parsed = parse_dtype(GetParam().input);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(parsed.error().message, "Invalid input: Unsupported dtype: " + GetParam().lowered);
}

INSTANTIATE_TEST_SUITE_P(
    NotTrimmedNotFuzzy, DtypeUnknownNames,
    ::testing::Values(UnknownName{"float", "float"}, UnknownName{"INT8", "int8"},
                      UnknownName{"Float128", "float128"}, UnknownName{"", ""},
                      UnknownName{" float32", " float32"}, UnknownName{"float32\n", "float32\n"},
                      UnknownName{"BFLOAT16", "bfloat16"},
                      UnknownName{std::string("float32\0", 8), std::string("float32\0", 8)},
                      // Look-alikes that lower-case to something else than ASCII.
                      UnknownName{"\u0130NT32", "i\u0307nt32"},
                      UnknownName{"\uFF26\uFF30\uFF13\uFF12", "\uFF46\uFF50\uFF13\uFF12"},
                      UnknownName{"\u017Ftring", "\u017Ftring"}));

TEST(DtypeCanonicalName, RoundTripsThroughTheParser) {
    for (int i = 0; i <= static_cast<int>(DType::String); ++i) {
        const auto dtype = static_cast<DType>(i);
        const auto parsed = parse_dtype(canonical_name(dtype));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, dtype);
    }
    EXPECT_EQ(canonical_name(DType::Uint8), "uint8");
    EXPECT_EQ(canonical_name(DType::String), "string");
}

struct Lowering {
    std::string input;
    std::string expected;
};

class UnicodeLower : public ::testing::TestWithParam<Lowering> {};

TEST_P(UnicodeLower, MatchesFullCaseMapping) {
    EXPECT_EQ(unicode::to_lower(GetParam().input), GetParam().expected);
}

// Expected values are what Python's str.lower() gives.
INSTANTIATE_TEST_SUITE_P(
    SpecialAndFinalSigma, UnicodeLower,
    ::testing::Values(Lowering{"\u0130", "i\u0307"},             // one code point to two
                      Lowering{"\u212A\u2126", "k\u03C9"},       // Kelvin and Ohm signs
                      Lowering{"\u01C4\u01C5", "\u01C6\u01C6"},  // title-case digraph
                      Lowering{"\u1E9E", "\u00DF"},              // capital sharp s
                      Lowering{"\u13A0", "\uAB70"},              // Cherokee, lower case far away
                      Lowering{"\U00010400", "\U00010428"},      // outside the BMP
                      Lowering{"\u0100\u0101\u0102", "\u0101\u0101\u0103"},  // alternating run
                      Lowering{"\u03A3", "\u03C3"},      // nothing cased before: not final
                      Lowering{"A\u03A3", "a\u03C2"},    // cased before, nothing after
                      Lowering{"A\u03A3B", "a\u03C3b"},  // cased after
                      Lowering{"\u03A3\u0391\u03A3", "\u03C3\u03B1\u03C2"},
                      Lowering{"A'\u03A3", "a'\u03C2"},  // ignorable skipped backwards
                      Lowering{"A\u03A3'", "a\u03C2'"},  // ignorable skipped forwards
                      Lowering{"A\u03A3'B", "a\u03C3'b"}, Lowering{"A.\u03A3", "a.\u03C2"},
                      Lowering{"1\u03A3", "1\u03C3"},  // a digit is not cased
                      Lowering{"\u0391\u03A3\u0301", "\u03B1\u03C2\u0301"},
                      Lowering{"\u03A3\u0301", "\u03C3\u0301"},
                      Lowering{"FLOAT\xFF", "float\xFF"},  // invalid bytes pass through
                      Lowering{"\xC3", "\xC3"}));

}  // namespace
}  // namespace zelto

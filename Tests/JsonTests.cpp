#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/Json.h"
#include "Torvane/PoseResult.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/Env.h"

using namespace torvane;
using namespace torvane::test;

// Vectors computed independently with a short Python script that follows the same rules
// (sorted keys, no white space, "\/", raw UTF-8, repr() numbers without a trailing ".0").
TEST(Json, CanonicalFormMatchesIndependentVectors) {
    auto repeat = [](const char* two) {
        std::string s;
        for (int i = 0; i < 32; ++i) s += two;
        return s;
    };
    auto v = json::parse(R"({"frames":[{"file":"photos/ride 1.jpg","id":"A001-subject","pair":"A001",
        "panel":{"height":1080.0,"width":1920.0,"x":0.0,"y":12.5},"rider":"Rossi – #46","role":"subject"}],
        "n":[0.1,1e-7,123456789.125,-3.0,1e300]})");
    v["frames"][0]["hash"] = repeat("ab");
    v["manifest"] = repeat("cd");
    v["report"] = repeat("ef");
    const std::string text = json::canonicalText(v);
    EXPECT_EQ(text,
              "{\"frames\":[{\"file\":\"photos\\/ride 1.jpg\",\"hash\":\"abababababababababababababababababababababababababababababababab\","
              "\"id\":\"A001-subject\",\"pair\":\"A001\",\"panel\":{\"height\":1080,\"width\":1920,\"x\":0,\"y\":12.5},"
              "\"rider\":\"Rossi \xe2\x80\x93 #46\",\"role\":\"subject\"}],"
              "\"manifest\":\"cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd\","
              "\"n\":[0.1,1e-07,123456789.125,-3,1e+300],"
              "\"report\":\"efefefefefefefefefefefefefefefefefefefefefefefefefefefefefefefef\"}");
    EXPECT_EQ(contentHash(text), "d6be05229b1d4c7b340b82841e13be0fc1fc0a77cdce48181cea450ec91b9792");
}

TEST(Json, CanonicalEscapesControlCharactersAndKeepsUnicodeRaw) {
    auto v = json::parse(R"({"b":"tab\there\u0001","a":"caf\u00e9 \"q\" \\"})");
    EXPECT_EQ(json::canonicalText(v), "{\"a\":\"caf\xc3\xa9 \\\"q\\\" \\\\\",\"b\":\"tab\\there\\u0001\"}");
}

TEST(Json, PrettyFormSortsKeysAndLeavesAbsentOptionalsOut) {
    PoseResult noPose{"2D", "noPose", 1, 0.25, {}, std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt};
    EXPECT_EQ(json::pretty(noPose),
              "{\n  \"candidateCount\": 0,\n  \"durationSeconds\": 0.25,\n  \"joints\": [],\n  \"kind\": \"2D\",\n"
              "  \"requestRevision\": 1,\n  \"status\": \"noPose\"\n}\n");
}

TEST(Json, EncodingRefusesNonFiniteNumbers) {
    PoseResult r{"3D", "needsReview", 1, std::nan(""), {}, {}, {}, {}, 1, {}};
    EXPECT_THROW(json::encode(r), EncodingError);
    r.durationSeconds = 1;
    r.bodyHeight = INFINITY;
    EXPECT_THROW(json::encode(r), EncodingError);
}

TEST(Json, DecodingIsStrictAboutRequiredKeysAndTypes) {
    const std::string base = R"({"kind":"2D","status":"ambiguous","requestRevision":1,"durationSeconds":0.5,
        "joints":[],"candidateCount":3,"message":"Multiple 2D candidates; tighten the selected rider crop."})";
    auto r = json::decodeText<PoseResult>(base);
    EXPECT_EQ(r.candidateCount, 3);
    EXPECT_EQ(r.message, std::string(PoseStatus::ambiguousMessage));
    EXPECT_EQ(json::decodeText<PoseResult>(json::prettyText(json::encode(r))), r);

    auto without = [&](const std::string& key) {
        auto v = json::parse(base);
        v.erase(key);
        return v.dump();
    };
    EXPECT_THROW(json::decodeText<PoseResult>(without("candidateCount")), DecodingError);
    EXPECT_FALSE(json::decodeText<PoseResult>(without("message")).message.has_value());

    auto with = [&](const std::string& key, const std::string& value) {
        auto v = json::parse(base);
        v[key] = json::parse(value);
        return v.dump();
    };
    EXPECT_THROW(json::decodeText<PoseResult>(with("kind", "2")), DecodingError);
    EXPECT_THROW(json::decodeText<PoseResult>(with("joints", "{}")), DecodingError);
    EXPECT_THROW(json::decodeText<PoseResult>(with("candidateCount", "null")), DecodingError);
    // Integers: whole floats are accepted, fractions and out-of-range values are not.
    EXPECT_EQ(json::decodeText<PoseResult>(with("candidateCount", "2.0")).candidateCount, 2);
    EXPECT_THROW(json::decodeText<PoseResult>(with("candidateCount", "2.5")), DecodingError);
    EXPECT_THROW(json::decodeText<PoseResult>(with("candidateCount", "9223372036854775808")), DecodingError);
    EXPECT_EQ(json::decodeText<PoseResult>(with("requestRevision", "-9223372036854775808")).requestRevision,
              INT64_MIN);
    // Unknown keys are ignored.
    EXPECT_EQ(json::decodeText<PoseResult>(with("extra", "[1,2]")), r);
    EXPECT_THROW(json::decodeText<PoseResult>("{\"kind\":"), DecodingError);
    EXPECT_THROW(json::decodeText<PoseResult>("[]"), DecodingError);
}

TEST(ContentHash, HexDigestsAndUUIDs) {
    EXPECT_EQ(contentHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const auto& env = platform::Env::system();
    auto a = env.randomUUID(), b = env.randomUUID();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(a[14], '4');
    for (char c : a) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-') << a;
}

TEST(Json, NumbersBeyondADoubleAreDecodingErrors) {
    EXPECT_THROW(json::parse(R"({"x": 8e8240290})"), DecodingError);
    EXPECT_THROW(json::parse("-1e400"), DecodingError);
}

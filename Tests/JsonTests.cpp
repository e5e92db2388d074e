#include <gtest/gtest.h>

#include "Torvane/Json.h"
#include "Torvane/PoseResult.h"

using namespace torvane;

TEST(Json, CanonicalFormMatchesIndependentVectors) {
    auto v = json::parse(R"({"b":[1920.0,0.1,-0.0,1e21,2.5e-7],"a":{"z":"a/b","y":"caf\u00e9\n\u0001"}})");
    EXPECT_EQ(json::canonicalText(v),
              "{\"a\":{\"y\":\"caf\xc3\xa9\\n\\u0001\",\"z\":\"a\\/b\"},\"b\":[1920,0.1,-0,1e+21,2.5e-07]}");
}

TEST(Json, NumbersBeyondADoubleAreDecodingErrors) {
    EXPECT_THROW(json::parse(R"({"x": 8e8240290})"), DecodingError);
    EXPECT_THROW(json::parse("-1e400"), DecodingError);
}

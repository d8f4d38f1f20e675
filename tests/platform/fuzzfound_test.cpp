// Inputs the fuzz targets found (fuzz/) that once crashed the platform, each
// kept as a regression test here and as a seed in fuzz/corpus/.
#include <gtest/gtest.h>

#include <string>

#include "simplatform/mapdb/mapdb.h"
#include "simplatform/mapdb/mapfile.h"

namespace {

// A JSON number beyond the parser's range made the JSON library throw an
// exception the loader did not catch: the start (or open-map) died in
// std::terminate instead of refusing the file.
TEST(FuzzFound, MapWithANumberOutOfRangeIsRefusedNotFatal)
{
    const char* texts[] = {
        R"({"name": 1e444})",
        R"({"objects": [{"id": -1e999}]})",
        "{ \"name\":4444444444444444444444444444e444e\":4444\0",
    };
    for (const char* text : texts) {
        std::string error;
        EXPECT_FALSE(simplatform::openMapText(text, "number.json", error)) << text;
        EXPECT_EQ(error.rfind("number.json: line 1, column ", 0), 0u) << error;
        EXPECT_EQ(simplatform::openMapHandle(), nullptr);
    }
}

}  // namespace

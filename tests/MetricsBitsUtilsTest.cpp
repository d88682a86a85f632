#include <gtest/gtest.h>

#include "quillmetrics/MetricsBitsUtils.h"

namespace Metrics::Testing {
namespace {

using Bits = MetricsBitsUtils;

TEST(MetricsBitsUtilsTest, ListToMask) {
    const struct {
        const char* list;
        unsigned long long mask;
    } cases[] = {
        {"", 0},
        {"act", 0x10000},
        {"act,cache", 0x30000},
        {"act,,cache,", 0x30000},
        {"ACT", 0},
        {" act", 0},
        {"act ", 0},
        {"all", 0xFFFFFFFFFFFF0000ULL},
        {"all,highvol", 0xFFFFFFFFFFFF1000ULL},
        {"highvol", 0x1000},
        {"span,activity,spanalysis", 0x70000000000000ULL},
        {"sql;net", 0},
        {"rpipe,foo", 0x2000000000ULL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Bits::GetMetricsBitsFromMnemonicList(c.list), c.mask) << '"' << c.list << '"';
    }
}

TEST(MetricsBitsUtilsTest, MaskToList) {
    const struct {
        unsigned long long mask;
        const char* list;
    } cases[] = {
        {0, ""},
        {0xFFF, ""},
        {0x1000, "highvol"},
        {0x10000, "act,all"},
        {0x30000, "act,all,cache"},
        {0x40000000000000ULL, "all,span"},
        {0x8000000000000000ULL, "all"},  // a bit with no mnemonic of its own
        {0xE000, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Bits::MetricsBitsToMnemonicList(c.mask), c.list) << std::hex << c.mask;
    }
    // Every row of the table, in byte-wise alphabetical order, "all" in its place.
    EXPECT_EQ(Bits::MetricsBitsToMnemonicList(~0ULL),
              "act,activity,all,cache,cmd,comp,edit,flex,flexlog,fltr,geosearch,highvol,lay,ldi,"
              "log,lorx,mdx,misc,net,parse,pipe,proto,query,queryd,rend,rpipe,span,spanalysis,"
              "sql,tel,test1,test2,transparent,viz,vno,vnoexec,vnoflow,vnometa,vnoopt,vnostor,"
              "vnostorhigh");
    // Not an inverse: the listed "all" parses back to every category bit from 16 up.
    EXPECT_EQ(Bits::GetMetricsBitsFromMnemonicList(Bits::MetricsBitsToMnemonicList(0x10000)),
              0xFFFFFFFFFFFF0000ULL);
}

TEST(MetricsBitsUtilsTest, ValidationListsUnknownItems) {
    const struct {
        const char* list;
        const char* unknown;
    } cases[] = {
        {"act,foo,bar", "foo,bar"}, {"act,all", ""},          {"", ""},
        {"act,Cache", "Cache"},     {"foo,,bar", "foo,,bar"}, {",act", ""},
        {"act,,foo", "foo"},        {"foo,", "foo,"},         {" sql", " sql"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Bits::ValidateMnemonicList(c.list), c.unknown) << '"' << c.list << '"';
    }
}

}  // namespace
}  // namespace Metrics::Testing

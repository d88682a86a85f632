#pragma once

// The category bits that have a mnemonic, for masks written in code rather than as a mnemonic
// list: Category::Sql is the bit of "sql", and masks combine them (Category::Sql | Category::Net).

namespace Metrics {

// Each constant is its mnemonic with a capital first letter. Bits 0 to 11 are not categories;
// Highvol (bit 12) lies outside All, so a consumer subscribed with All must name it as well; bits
// 13 to 15 and 55 to 63 have no mnemonic, and the last nine are part of All.
namespace Category {
inline constexpr unsigned long long Highvol = 0x1000ULL;
inline constexpr unsigned long long Act = 0x10000ULL;
inline constexpr unsigned long long Cache = 0x20000ULL;
inline constexpr unsigned long long Cmd = 0x40000ULL;
inline constexpr unsigned long long Comp = 0x80000ULL;
inline constexpr unsigned long long Edit = 0x100000ULL;
inline constexpr unsigned long long Fltr = 0x200000ULL;
inline constexpr unsigned long long Flex = 0x400000ULL;
inline constexpr unsigned long long Flexlog = 0x800000ULL;
inline constexpr unsigned long long Geosearch = 0x1000000ULL;
inline constexpr unsigned long long Lay = 0x2000000ULL;
inline constexpr unsigned long long Log = 0x4000000ULL;
inline constexpr unsigned long long Ldi = 0x8000000ULL;
inline constexpr unsigned long long Mdx = 0x10000000ULL;
inline constexpr unsigned long long Misc = 0x20000000ULL;
inline constexpr unsigned long long Net = 0x40000000ULL;
inline constexpr unsigned long long Parse = 0x80000000ULL;
inline constexpr unsigned long long Pipe = 0x100000000ULL;
inline constexpr unsigned long long Proto = 0x200000000ULL;
inline constexpr unsigned long long Query = 0x400000000ULL;
inline constexpr unsigned long long Queryd = 0x800000000ULL;
inline constexpr unsigned long long Rend = 0x1000000000ULL;
inline constexpr unsigned long long Rpipe = 0x2000000000ULL;
inline constexpr unsigned long long Sql = 0x4000000000ULL;
inline constexpr unsigned long long Test1 = 0x8000000000ULL;
inline constexpr unsigned long long Test2 = 0x10000000000ULL;
inline constexpr unsigned long long Vno = 0x20000000000ULL;
inline constexpr unsigned long long Viz = 0x40000000000ULL;
inline constexpr unsigned long long Tel = 0x80000000000ULL;
inline constexpr unsigned long long Vnostor = 0x100000000000ULL;
inline constexpr unsigned long long Vnostorhigh = 0x200000000000ULL;
inline constexpr unsigned long long Vnoexec = 0x400000000000ULL;
inline constexpr unsigned long long Vnometa = 0x800000000000ULL;
inline constexpr unsigned long long Vnoopt = 0x1000000000000ULL;
inline constexpr unsigned long long Vnoflow = 0x2000000000000ULL;
inline constexpr unsigned long long Lorx = 0x4000000000000ULL;
inline constexpr unsigned long long Transparent = 0x8000000000000ULL;
inline constexpr unsigned long long Spanalysis = 0x10000000000000ULL;
inline constexpr unsigned long long Activity = 0x20000000000000ULL;
inline constexpr unsigned long long Span = 0x40000000000000ULL;
inline constexpr unsigned long long All = 0xFFFFFFFFFFFF0000ULL;
}  // namespace Category

// One row of the mnemonic table, which MetricsBitsUtils reads.
struct CategoryMnemonic {
    const char* mnemonic;
    unsigned long long bits;
};

// The mnemonic table: the mnemonics of single bits in ascending bit order, then "all", the one
// row that stands for many bits.
inline constexpr CategoryMnemonic kCategoryMnemonics[] = {
    {"highvol", Category::Highvol},
    {"act", Category::Act},
    {"cache", Category::Cache},
    {"cmd", Category::Cmd},
    {"comp", Category::Comp},
    {"edit", Category::Edit},
    {"fltr", Category::Fltr},
    {"flex", Category::Flex},
    {"flexlog", Category::Flexlog},
    {"geosearch", Category::Geosearch},
    {"lay", Category::Lay},
    {"log", Category::Log},
    {"ldi", Category::Ldi},
    {"mdx", Category::Mdx},
    {"misc", Category::Misc},
    {"net", Category::Net},
    {"parse", Category::Parse},
    {"pipe", Category::Pipe},
    {"proto", Category::Proto},
    {"query", Category::Query},
    {"queryd", Category::Queryd},
    {"rend", Category::Rend},
    {"rpipe", Category::Rpipe},
    {"sql", Category::Sql},
    {"test1", Category::Test1},
    {"test2", Category::Test2},
    {"vno", Category::Vno},
    {"viz", Category::Viz},
    {"tel", Category::Tel},
    {"vnostor", Category::Vnostor},
    {"vnostorhigh", Category::Vnostorhigh},
    {"vnoexec", Category::Vnoexec},
    {"vnometa", Category::Vnometa},
    {"vnoopt", Category::Vnoopt},
    {"vnoflow", Category::Vnoflow},
    {"lorx", Category::Lorx},
    {"transparent", Category::Transparent},
    {"spanalysis", Category::Spanalysis},
    {"activity", Category::Activity},
    {"span", Category::Span},
    {"all", Category::All},
};

}  // namespace Metrics

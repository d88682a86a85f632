// Properties of the mnemonic conversions and the raw client's options, for any input text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "quillmetrics/MetricsBitsUtils.h"
#include "quillmetrics/MetricsRawClient.h"

namespace {

using Metrics::MetricsBitsUtils;

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> items;
    std::string::size_type start = 0;
    while (true) {
        const auto comma = list.find(',', start);
        items.push_back(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            return items;
        }
        start = comma + 1;
    }
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string list(reinterpret_cast<const char*>(data), size);
    const auto items = Split(list);

    // The mask of a list is the OR of the masks of its items.
    unsigned long long expected = 0;
    bool allKnown = true;
    std::string unknown;
    for (const auto& item : items) {
        const unsigned long long mask = MetricsBitsUtils::GetMetricsBitsFromMnemonicList(item);
        expected |= mask;
        if (mask == 0) {
            allKnown = false;
            if (!unknown.empty()) {
                unknown += ',';
            }
            unknown += item;
        }
    }
    Check(MetricsBitsUtils::GetMetricsBitsFromMnemonicList(list) == expected);

    // Validation is empty exactly when every item is known, and lists the others in order.
    const std::string validation = MetricsBitsUtils::ValidateMnemonicList(list);
    Check(validation.empty() == (allKnown || unknown.empty()));
    Check(validation == unknown);

    // Listing a mask names only known mnemonics, and parsing the listing back covers the mask's
    // named bits.
    const unsigned long long bits = size >= 8 ? *reinterpret_cast<const uint64_t*>(data) : expected;
    const std::string names = MetricsBitsUtils::MetricsBitsToMnemonicList(bits);
    Check(MetricsBitsUtils::ValidateMnemonicList(names).empty() || names.empty());
    const unsigned long long back = MetricsBitsUtils::GetMetricsBitsFromMnemonicList(names);
    Check((bits & 0xFFFFFFFFFFFF1000ULL & ~back) == 0);

    // An option is recognised exactly when it starts with one of the prefixes, or is the one
    // option that takes no value.
    Metrics::MetricsRawClient client;
    const bool recognised = list.rfind("-set=", 0) == 0 || list.rfind("-setabs=", 0) == 0 ||
                            list.rfind("-clear=", 0) == 0 || list.rfind("-raw=", 0) == 0 ||
                            list.rfind("-prom=", 0) == 0 || list.rfind("-push=", 0) == 0 ||
                            list == "-rawbatch";
    Check(client.ProcessArgument(list) == recognised);
    return 0;
}

// The settings text and the replies of the configuration exchanges, as a
// device may send them: the settings parser, the product name, the DFMQCU
// value and the refused names of a batch reply. Every record must be a
// six-character name with a value cut from the text; no reading outside.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/settings_text.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view text = input.substr(0, input.find('\0'));

    const std::vector<qv::SettingRecord> records = qv::ParseSettings(input);
    size_t elements = 1;
    for (char c : text) elements += c == ';' || c == ',';
    QV_FUZZ_CHECK(records.size() <= 2 * elements, "%zu records from %zu elements", records.size(), elements);
    for (const qv::SettingRecord& r : records) {
        QV_FUZZ_CHECK(r.name.size() == 6, "name of %zu characters", r.name.size());
        QV_FUZZ_CHECK(r.name.find_first_of(";,") == std::string::npos, "separator in a name");
        QV_FUZZ_CHECK(text.find(r.name.substr(3)) != std::string_view::npos, "name not from the text");
        QV_FUZZ_CHECK(r.value.find_first_of(";,") == std::string::npos, "separator in a value");
        QV_FUZZ_CHECK(text.find(r.value) != std::string_view::npos, "value not from the text");
        QV_FUZZ_CHECK(!r.value.empty() || r.name == "DFMADD", "empty value for %s", r.name.c_str());
    }
    QV_FUZZ_CHECK(qv::ParseSettings(input) == records, "two parses differ");

    const std::string product = qv::ProductNameFromReply(input);
    QV_FUZZ_CHECK(product.find("\r\n") == std::string::npos, "product name runs past its line");
    QV_FUZZ_CHECK(product.empty() || input.find(product) != std::string_view::npos, "product name not from the reply");

    const std::string dfmqcu = qv::DfmqcuValueFromReply(input);
    QV_FUZZ_CHECK(dfmqcu.size() + 16 <= input.size() || dfmqcu.empty(), "DFMQCU value of %zu bytes", dfmqcu.size());

    for (const std::string& name : qv::RefusedCommandNames(input)) {
        QV_FUZZ_CHECK(name.size() <= 6, "refused name of %zu characters", name.size());
        QV_FUZZ_CHECK(input.find(name) != std::string_view::npos, "refused name not from the reply");
    }
    return 0;
}

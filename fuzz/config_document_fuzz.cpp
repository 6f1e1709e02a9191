// The document walk of a configuration write on arbitrary file contents: what
// TinyXML-2 loads is turned into batches and the final frame. Batches close
// exactly when they outgrow the limit, the final frame is framed, and every
// element without both attributes is counted as skipped.
#include <tinyxml2.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/config_xml.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tinyxml2::XMLDocument doc;
    doc.Parse(reinterpret_cast<const char*>(data), size);
    const qv::ConfigWritePlan plan = qv::PlanConfigWrite(doc);

    for (size_t i = 0; i < plan.batches.size(); ++i) {
        const qv::ConfigBatch& b = plan.batches[i];
        QV_FUZZ_CHECK(b.full == (b.text.size() > qv::kConfigBatchLimit), "batch %zu: %zu characters, full %d", i,
                      b.text.size(), b.full ? 1 : 0);
        QV_FUZZ_CHECK(b.full || i + 1 == plan.batches.size(), "batch %zu closed early", i);
        QV_FUZZ_CHECK(b.commands >= 1 && !b.text.empty(), "batch %zu is empty", i);
    }
    const std::string frame(plan.finalFrame.begin(), plan.finalFrame.end());
    QV_FUZZ_CHECK(frame.size() >= 8 && frame.compare(0, 7, "\x7E\x01" "0000@") == 0 && frame.back() == '\x03',
                  "final frame of %zu bytes", frame.size());

    // The commands the walk looked at: the first element's children from its
    // first Command child on.
    size_t without = 0;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    for (const tinyxml2::XMLElement* e = root ? root->FirstChildElement("Command") : nullptr; e != nullptr;
         e = e->NextSiblingElement()) {
        if (e->Attribute("CommandName") == nullptr || e->Attribute("Value") == nullptr) ++without;
    }
    QV_FUZZ_CHECK(plan.skipped == without, "%zu skipped, %zu without attributes", plan.skipped, without);
    return 0;
}

#include "engine/config_xml.h"

#include <tinyxml2.h>

#include <array>
#include <map>

#include "core/log.h"

namespace qv {
namespace {

constexpr const char* kRootName = "Prazmor";
constexpr const char* kCommandName = "Command";

// Held-back settings in the order the final frame carries them; the
// calibration text goes between SOPMOD and INTERF. 232AFL and 232FLW are held
// back but never sent.
constexpr std::array<std::string_view, 7> kFinalFrameOrder = {"232BAD", "232STP", "232DAT", "232PAR",
                                                               "IMGROI", "KBWPOR", "SOPMOD"};
constexpr std::array<std::string_view, 10> kHeldBack = {"232AFL", "232FLW", "INTERF", "232BAD", "232PAR",
                                                        "232STP", "232DAT", "IMGROI", "KBWPOR", "SOPMOD"};

}  // namespace

bool SaveSettingsXml(const char* fileName, const std::vector<SettingRecord>& records,
                     const std::string& productName, const std::string& dfmaddValue) {
    tinyxml2::XMLDocument doc;
    // The declaration as TinyXML printed one with an empty standalone value:
    // without it (standalone="" would not be XML).
    doc.InsertEndChild(doc.NewDeclaration("xml version=\"1.0\" encoding=\"utf-8\""));
    tinyxml2::XMLElement* root = doc.NewElement(kRootName);
    root->SetAttribute("DeviceType", productName.c_str());
    doc.InsertEndChild(root);
    for (const SettingRecord& r : records) {
        tinyxml2::XMLElement* command = doc.NewElement(kCommandName);
        command->SetAttribute("CommandName", r.name.c_str());
        command->SetAttribute("Value", r.name == "DFMADD" ? dfmaddValue.c_str() : r.value.c_str());
        root->InsertEndChild(command);
    }
    return doc.SaveFile(fileName) == tinyxml2::XML_SUCCESS;
}

bool IsHeldBackSetting(std::string_view name) {
    for (std::string_view held : kHeldBack) {
        if (name == held) return true;
    }
    return false;
}

std::string CalibrationText(std::string_view name, std::string_view value) {
    std::string text = "DFMCAL;";
    text.append(name);
    const std::string whole = std::string(name) + std::string(value);
    const std::vector<std::string_view> pieces = SplitText(whole, ';', true);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        const std::vector<std::string_view> parts = SplitText(pieces[i], ':', true);
        if (parts.size() < 2) continue;
        text.append(parts[1]);
        text.push_back(';');
    }
    if (text.back() != ';') text.push_back(';');
    return text;
}

ConfigWritePlan PlanConfigWrite(const tinyxml2::XMLDocument& doc) {
    ConfigWritePlan plan;
    std::map<std::string, std::string, std::less<>> held;
    std::string calibration;
    ConfigBatch batch;

    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    const tinyxml2::XMLElement* element = root == nullptr ? nullptr : root->FirstChildElement(kCommandName);
    for (; element != nullptr; element = element->NextSiblingElement()) {
        const char* name = element->Attribute("CommandName");
        const char* value = element->Attribute("Value");
        if (name == nullptr || value == nullptr) {
            QV_LOG("%s %d element without CommandName or Value skipped", "WriteCfgToDev", element->GetLineNum());
            ++plan.skipped;
            continue;
        }
        QV_LOG("strTmpName=%s,strTmValue=%s", name, value);
        const std::string_view n(name);
        if (n == "DFMSIN") continue;
        if (IsHeldBackSetting(n)) {
            held.insert_or_assign(std::string(n), std::string(n) + value + ";");
            continue;
        }
        if (n == "DFMADD" || n == "DFMSET") {
            calibration = CalibrationText(n, value);
            continue;
        }
        if (batch.commands != 0) batch.text.push_back(';');
        batch.text.append(n).append(value);
        ++batch.commands;
        if (batch.text.size() > kConfigBatchLimit) {
            batch.full = true;
            plan.batches.push_back(std::move(batch));
            batch = ConfigBatch{};
        }
    }
    if (!batch.text.empty()) plan.batches.push_back(std::move(batch));

    const char head[] = {0x7E, 0x01, '0', '0', '0', '0', '@'};
    std::string body;
    for (std::string_view name : kFinalFrameOrder) {
        const auto it = held.find(name);
        if (it != held.end()) body += it->second;
    }
    body += calibration;
    if (const auto it = held.find(std::string_view("INTERF")); it != held.end()) body += it->second;
    plan.finalFrame.assign(head, head + sizeof head);
    plan.finalFrame.insert(plan.finalFrame.end(), body.begin(), body.end());
    plan.finalFrame.push_back(0x03);
    return plan;
}

}  // namespace qv

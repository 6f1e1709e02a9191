// The configuration XML document: writing a scanner's settings into one, and
// turning one into the command frames that write its settings to a scanner.
// Pure document handling; the exchanges with the device are CQVScan's.
//
// The document:
//   <?xml version="1.0" encoding="utf-8"?>
//   <Prazmor DeviceType="product name">
//       <Command CommandName="BEPVOL" Value="2" />
//       ...
//   </Prazmor>
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/settings_text.h"

namespace tinyxml2 {
class XMLDocument;
}

namespace qv {

// Saves the settings as a configuration document; a "DFMADD" record's value
// is replaced by `dfmaddValue` (the calibration data). False when the file
// cannot be written.
bool SaveSettingsXml(const char* fileName, const std::vector<SettingRecord>& records,
                     const std::string& productName, const std::string& dfmaddValue);

// A batch text is sent once it is longer than this.
constexpr size_t kConfigBatchLimit = 300;

// One batch of commands: name + value of each, separated by ';'.
struct ConfigBatch {
    std::string text;
    size_t commands = 0;
    bool full = false;  // sent because it outgrew kConfigBatchLimit (else it is the remainder)
};

// What writing a document to a scanner sends, in order: the batches, then the
// final frame with the held-back settings and the calibration text.
struct ConfigWritePlan {
    std::vector<ConfigBatch> batches;
    std::vector<char> finalFrame;  // 7E 01 "0000" '@' ... 03, sent as it is
    size_t skipped = 0;            // elements without a CommandName or a Value
};

// The ten settings that are never sent in a batch: they change how the
// scanner talks (line settings, interface, ...), so they go last, in the
// final frame (except 232AFL and 232FLW, which are never sent).
bool IsHeldBackSetting(std::string_view name);

// The calibration text built from a "DFMADD" or "DFMSET" command: "DFMCAL;"
// and the name, then for each ';'-separated piece of name + value except the
// last, the part after its first ':' (when it has one) and ';'; it always
// ends with ';'.
std::string CalibrationText(std::string_view name, std::string_view value);

// The commands of a loaded document: the first element's children from its
// first "Command" child on (elements of any name among them count). "DFMSIN"
// is left out; held-back settings and the calibration are kept for the final
// frame (a later element of the same name replaces an earlier one); every
// other command is appended to the current batch, which is closed as soon as
// its text is longer than kConfigBatchLimit. An element without a CommandName
// or a Value attribute is skipped and counted. A document whose first element
// has no "Command" child gives no batch and an empty final frame. Logs each
// element read.
ConfigWritePlan PlanConfigWrite(const tinyxml2::XMLDocument& doc);

}  // namespace qv

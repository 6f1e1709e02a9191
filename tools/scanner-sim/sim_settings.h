// The scanner's settings table, from the device's side: what it reports for
// "@*" and DFMQCU, and how it takes settings commands. Pure code (commands in,
// reply bytes out, no I/O), so a scanner on a pty, on TCP or behind a USB node
// can share it.
//
// The settings text, as the scanner reports it: items separated by ';', each
// item a six-character name, its value and a status byte. A group item holds
// several settings whose names share their first three characters, separated
// by ','; each further element carries only the last three characters of its
// name. The scanner writes some groups with a status byte after every element
// and others with one after the last element only.
//
// Settings commands: a frame whose commands (separated by ';') are NAME+value
// with a NAME of the table is a settings batch. Each command is answered with
// its text, its status byte (ACK unless the command is scripted otherwise) and
// ';'; an accepted one sets the value; commands of names the table does not
// have are answered but change nothing. "DFMCAL" sets the calibration: the
// next piece is "DFMADD" or "DFMSET" directly followed by the first value,
// and every following piece made of digits only is one more value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "sim_config.h"

namespace qvsim {

class SettingsTable {
public:
    enum class Form {
        single,       // NAMEvalue<status>
        each_status,  // NAMEvalue<status>,XYZvalue<status>,...
        last_status,  // NAMEvalue,XYZvalue,...<status>
    };
    struct Entry {
        std::string name;
        std::string value;
    };
    struct Item {
        Form form = Form::single;
        std::vector<Entry> entries;  // group entries share the first 3 name characters
    };

    // The table every scanner starts with: the fixed settings and `generated`
    // more, with values made from `seed` (two seeds give different values for
    // every setting and for the calibration). Generated names are 'S', two
    // letters and three digits; every fifth item is a group of three. `width`
    // pads generated values with leading zeros (settings texts of any length).
    static SettingsTable make(size_t generated, uint64_t seed, size_t width = 0);

    // The "@*" answer: the settings text, items each ending with ';'.
    std::string settings_text() const;
    // The DFMQCU answer's value: "P1:<v>;P2:<v>;...;".
    std::string calibration_text() const;

    // The value of a setting, or null.
    const std::string* find(std::string_view name) const;
    // Sets a known setting; false for a name the table does not have.
    bool set(std::string_view name, std::string value);
    // Sets a setting, appending it as a single item when it is new.
    void put(const std::string& name, std::string value);

    const std::vector<std::string>& calibration() const { return calibration_; }
    void set_calibration(std::vector<std::string> values) { calibration_ = std::move(values); }

    // Every setting and the calibration, for the control channel:
    // "NAME=<hex value> ... cal=<hex of the DFMQCU value>".
    std::string dump() const;
    size_t size() const;

private:
    std::vector<Item> items_;
    std::vector<std::string> calibration_;
};

// Answers a command frame that concerns the settings: "@*", DFMQCU, a
// settings batch, or an empty frame (answered by nothing). False when the frame
// is none of these (the caller answers it). A command scripted `silent` makes
// the whole frame go unanswered.
bool answer_settings_frame(SettingsTable& table, const std::map<std::string, Status>& scripts, char frame_kind,
                           std::string_view body, FrameAnswer& answer);

}  // namespace qvsim

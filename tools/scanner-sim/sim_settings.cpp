#include "sim_settings.h"

#include <algorithm>

namespace qvsim {

namespace {

using namespace std::string_literals;

const std::string kReplyPrefix = "\x02\x01" "0000"s;

char status_byte(Status status) {
    return status == Status::nak ? kNak : status == Status::enq ? kEnq : kAck;
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string padded(uint64_t v, size_t width) {
    std::string s = std::to_string(v);
    if (s.size() < width) s.insert(0, width - s.size(), '0');
    return s;
}

// Name of generated setting j: 'S', two letters, three digits (consecutive
// settings within a thousand share their first three characters).
std::string generated_name(size_t j) {
    const size_t block = j / 1000;
    std::string name = "S";
    name += static_cast<char>('A' + (block / 26) % 26);
    name += static_cast<char>('A' + block % 26);
    name += padded(j % 1000, 3);
    return name;
}

}  // namespace

SettingsTable SettingsTable::make(size_t generated, uint64_t seed, size_t width) {
    SettingsTable t;
    size_t n = 0;
    auto value = [&](size_t w) { return padded(seed * 100 + (n++ % 100), w); };
    auto item = [&](Form form, std::initializer_list<const char*> names) {
        Item it;
        it.form = form;
        for (const char* name : names) it.entries.push_back({name, value(0)});
        t.items_.push_back(std::move(it));
    };
    item(Form::last_status, {"232BAD", "232PAR", "232STP", "232DAT"});
    item(Form::each_status, {"232AFL", "232FLW"});
    for (const char* name : {"INTERF", "IMGROI", "KBWPOR", "SOPMOD", "DFMSIN"}) item(Form::single, {name});
    t.items_.push_back(Item{Form::single, {{"DFMADD", ""}}});  // its data is the calibration
    t.items_.push_back(Item{Form::single, {{"NOVALU", ""}}});  // a setting without a value
    item(Form::each_status, {"BEPENA", "BEPVOL", "BEPTON"});
    item(Form::last_status, {"AIMENA", "AIMMOD"});

    size_t j = 0;
    while (j < generated) {
        Item it;
        const bool group = t.items_.size() % 5 == 0 && generated - j >= 3 && (j % 1000) <= 997;
        it.form = !group ? Form::single : (j / 3) % 2 == 0 ? Form::each_status : Form::last_status;
        for (size_t k = 0; k < (group ? 3u : 1u); ++k, ++j) it.entries.push_back({generated_name(j), value(width)});
        t.items_.push_back(std::move(it));
    }
    for (uint64_t k = 1; k <= 3; ++k) t.calibration_.push_back(padded(seed * 10 + k, 4));
    return t;
}

std::string SettingsTable::settings_text() const {
    std::string text;
    for (const Item& it : items_) {
        for (size_t k = 0; k < it.entries.size(); ++k) {
            const Entry& e = it.entries[k];
            if (k != 0) text += ',';
            text += k == 0 ? e.name : e.name.substr(3);
            text += e.value;
            const bool last = k + 1 == it.entries.size();
            if (it.form == Form::each_status || last) text += kAck;
        }
        text += ';';
    }
    return text;
}

std::string SettingsTable::calibration_text() const {
    std::string text;
    for (size_t k = 0; k < calibration_.size(); ++k) text += "P" + std::to_string(k + 1) + ":" + calibration_[k] + ";";
    return text;
}

const std::string* SettingsTable::find(std::string_view name) const {
    for (const Item& it : items_) {
        for (const Entry& e : it.entries) {
            if (e.name == name) return &e.value;
        }
    }
    return nullptr;
}

bool SettingsTable::set(std::string_view name, std::string value) {
    for (Item& it : items_) {
        for (Entry& e : it.entries) {
            if (e.name == name) {
                e.value = std::move(value);
                return true;
            }
        }
    }
    return false;
}

void SettingsTable::put(const std::string& name, std::string value) {
    if (!set(name, value)) items_.push_back(Item{Form::single, {{name, std::move(value)}}});
}

size_t SettingsTable::size() const {
    size_t n = 0;
    for (const Item& it : items_) n += it.entries.size();
    return n;
}

std::string SettingsTable::dump() const {
    std::string out;
    for (const Item& it : items_) {
        for (const Entry& e : it.entries) out += e.name + "=" + to_hex(e.value) + " ";
    }
    return out + "cal=" + to_hex(calibration_text());
}

bool answer_settings_frame(SettingsTable& table, const std::map<std::string, Status>& scripts, char frame_kind,
                           std::string_view body, FrameAnswer& answer) {
    answer = FrameAnswer{};
    const std::string head = kReplyPrefix + frame_kind;
    if (body.empty()) return true;  // nothing to do, nothing to say
    if (body == "*" || body == "DFMQCU") {
        const Status status = scripted_status(scripts, body);
        if (status == Status::silent) return true;
        answer.send = true;
        if (body == "*") {
            answer.bytes = head + table.settings_text() + '\x03';
        } else {
            answer.bytes = head + "DFMQCU" + table.calibration_text() + status_byte(status) + ";\x03";
        }
        return true;
    }

    const std::vector<std::string_view> commands = split_commands(body);
    const bool batch = std::any_of(commands.begin(), commands.end(), [&](std::string_view c) {
        return c == "DFMCAL" || (c.size() >= 6 && table.find(c.substr(0, 6)) != nullptr);
    });
    if (!batch) return false;

    std::vector<Status> statuses;
    for (std::string_view c : commands) {
        statuses.push_back(scripted_status(scripts, c));
        if (statuses.back() == Status::silent) return true;
    }
    std::string reply = head;
    std::vector<bool> consumed(commands.size(), false);
    for (size_t i = 0; i < commands.size(); ++i) {
        const std::string_view c = commands[i];
        reply += c;
        reply += status_byte(statuses[i]);
        reply += ';';
        if (statuses[i] != Status::ack || consumed[i]) continue;
        if (c == "DFMCAL") {
            if (i + 1 >= commands.size()) continue;
            const std::string_view source = commands[i + 1].substr(0, 6);
            if (source != "DFMADD" && source != "DFMSET") continue;
            std::vector<std::string> values;
            if (commands[i + 1].size() > 6) values.emplace_back(commands[i + 1].substr(6));
            consumed[i + 1] = true;
            for (size_t k = i + 2; k < commands.size() && all_digits(commands[k]); ++k) {
                values.emplace_back(commands[k]);
                consumed[k] = true;
            }
            if (!values.empty()) table.set_calibration(std::move(values));
            continue;
        }
        if (c.size() >= 6) table.set(c.substr(0, 6), std::string(c.substr(6)));
    }
    reply += '\x03';
    answer.send = true;
    answer.bytes = std::move(reply);
    return true;
}

}  // namespace qvsim

#include "kolta_common/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace kolta_common {

namespace {

constexpr int kMaxDepth = 32;

void append_utf8(std::string &out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

} // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (at < text.size() && lead < 0x80) {
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(at + i);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3f);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10ffff ||
        (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return length;
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_sequence_length(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

namespace {

// A strict recursive-descent reader; every method returns false on the
// first fault.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool object(JsonObject &result) {
        skip_space();
        if (!consume('{')) {
            return false;
        }
        skip_space();
        if (consume('}')) {
            return at_end();
        }
        while (true) {
            std::string name;
            skip_space();
            if (!string(name)) {
                return false;
            }
            if (result.strings.count(name) > 0 || result.string_arrays.count(name) > 0 ||
                contains(result.others, name)) {
                return false;
            }
            skip_space();
            if (!consume(':')) {
                return false;
            }
            skip_space();
            std::vector<std::string> strings;
            if (peek() == '"') {
                std::string value;
                if (!string(value)) {
                    return false;
                }
                result.strings.emplace(std::move(name), std::move(value));
            } else if (string_array(strings)) {
                result.string_arrays.emplace(std::move(name), std::move(strings));
            } else {
                const std::size_t start = at_;
                if (!value(1)) {
                    return false;
                }
                const char first = text_[start];
                if (first == '-' || (first >= '0' && first <= '9')) {
                    result.numbers.emplace(name,
                                           std::string(text_.substr(start, at_ - start)));
                }
                if (first == 't' || first == 'f') {
                    result.booleans.emplace(name, first == 't');
                }
                result.others.push_back(std::move(name));
            }
            skip_space();
            if (consume('}')) {
                return at_end();
            }
            if (!consume(',')) {
                return false;
            }
        }
    }

private:
    static bool contains(const std::vector<std::string> &names, const std::string &name) {
        for (const auto &entry : names) {
            if (entry == name) {
                return true;
            }
        }
        return false;
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool consume(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool consume(std::string_view word) {
        if (text_.substr(at_, word.size()) == word) {
            at_ += word.size();
            return true;
        }
        return false;
    }
    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool at_end() {
        skip_space();
        return at_ == text_.size();
    }

    // An array of strings only; where the text is anything else, nothing is
    // consumed.
    bool string_array(std::vector<std::string> &values) {
        const std::size_t start = at_;
        if (!consume('[')) {
            return false;
        }
        skip_space();
        if (consume(']')) {
            return true;
        }
        while (true) {
            skip_space();
            std::string value;
            if (peek() != '"' || !string(value)) {
                break;
            }
            values.push_back(std::move(value));
            skip_space();
            if (consume(']')) {
                return true;
            }
            if (!consume(',')) {
                break;
            }
        }
        at_ = start;
        values.clear();
        return false;
    }

    // Any value, skipped.
    bool value(int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        skip_space();
        switch (peek()) {
        case '"': {
            std::string ignored;
            return string(ignored);
        }
        case '{':
            return container('{', '}', depth, true);
        case '[':
            return container('[', ']', depth, false);
        case 't':
            return consume("true");
        case 'f':
            return consume("false");
        case 'n':
            return consume("null");
        default:
            return number();
        }
    }

    bool container(char open, char close, int depth, bool members) {
        consume(open);
        skip_space();
        if (consume(close)) {
            return true;
        }
        while (true) {
            skip_space();
            if (members) {
                std::string ignored;
                if (!string(ignored)) {
                    return false;
                }
                skip_space();
                if (!consume(':')) {
                    return false;
                }
            }
            if (!value(depth + 1)) {
                return false;
            }
            skip_space();
            if (consume(close)) {
                return true;
            }
            if (!consume(',')) {
                return false;
            }
        }
    }

    bool digits() {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool number() {
        consume('-');
        if (!consume('0') && !digits()) {
            return false;
        }
        if (consume('.') && !digits()) {
            return false;
        }
        if (consume('e') || consume('E')) {
            if (!consume('+')) {
                consume('-');
            }
            if (!digits()) {
                return false;
            }
        }
        return true;
    }

    bool hex4(std::uint32_t &code) {
        if (at_ + 4 > text_.size()) {
            return false;
        }
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                code |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                code |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    bool escape(std::string &out) {
        const char c = peek();
        ++at_;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'u': {
            std::uint32_t code = 0;
            if (!hex4(code)) {
                return false;
            }
            if (code >= 0xdc00 && code <= 0xdfff) {
                return false; // a low surrogate alone
            }
            if (code >= 0xd800 && code <= 0xdbff) {
                std::uint32_t low = 0;
                if (!consume("\\u") || !hex4(low) || low < 0xdc00 || low > 0xdfff) {
                    return false;
                }
                code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
            }
            append_utf8(out, code);
            return true;
        }
        default:
            return false;
        }
    }

    bool utf8_character(std::string &out) {
        const std::size_t length = utf8_sequence_length(text_, at_);
        if (length == 0) {
            return false;
        }
        out.append(text_.substr(at_, length));
        at_ += length;
        return true;
    }

    bool string(std::string &out) {
        if (!consume('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                ++at_;
                if (!escape(out)) {
                    return false;
                }
            } else if (c < 0x80) {
                out += static_cast<char>(c);
                ++at_;
            } else if (!utf8_character(out)) {
                return false;
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

} // namespace

std::optional<JsonObject> parse_json_object(std::string_view text) {
    JsonObject result;
    Reader reader(text);
    if (!reader.object(result)) {
        return std::nullopt;
    }
    return result;
}

std::string json_quote(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string quoted = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            quoted += "\\u00";
            quoted += digits[byte >> 4];
            quoted += digits[byte & 0x0f];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

void JsonWriter::name(std::string_view member) {
    if (text_.size() > 1) {
        text_ += ',';
    }
    text_ += json_quote(member);
    text_ += ':';
}

JsonWriter &JsonWriter::string(std::string_view name_text, std::string_view value) {
    name(name_text);
    text_ += json_quote(value);
    return *this;
}

JsonWriter &JsonWriter::number(std::string_view name_text, long long value) {
    name(name_text);
    text_ += std::to_string(value);
    return *this;
}

JsonWriter &JsonWriter::boolean(std::string_view name_text, bool value) {
    name(name_text);
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::decimal(std::string_view name_text, double value, int decimals) {
    name(name_text);
    // JSON has no NaN nor infinity; 64 characters hold any fraction of [-1e40, 1e40].
    char digits[64];
    const auto written = std::isfinite(value) && std::fabs(value) < 1e40
                             ? std::to_chars(digits, digits + sizeof digits, value,
                                             std::chars_format::fixed, decimals)
                             : std::to_chars(digits, digits + sizeof digits, 0);
    text_.append(digits, written.ptr);
    return *this;
}

JsonWriter &JsonWriter::strings(std::string_view name_text,
                                const std::vector<std::string> &values) {
    name(name_text);
    text_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        text_ += (i > 0 ? "," : "") + json_quote(values[i]);
    }
    text_ += ']';
    return *this;
}

} // namespace kolta_common

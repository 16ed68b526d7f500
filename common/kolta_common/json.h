#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolta_common {

// The members of a JSON object whose values are strings (decoded to UTF-8),
// and those whose values are arrays of strings; the names of members of
// other types are listed in `others`. Nothing when the text is not one valid
// JSON object (RFC 8259; nesting deeper than 32 levels, invalid UTF-8 and
// repeated member names are refused too). The service's requests and the
// engine's reading of its answers both use it.
struct JsonObject {
    std::map<std::string, std::string> strings;
    std::map<std::string, std::vector<std::string>> string_arrays;
    std::vector<std::string> others;
    // The text of those among them that are numbers, as written ("16000").
    std::map<std::string, std::string> numbers;
    // Those among them that are true or false.
    std::map<std::string, bool> booleans;
};
std::optional<JsonObject> parse_json_object(std::string_view text);

// Writes one JSON object, member by member, in the order given.
class JsonWriter {
public:
    JsonWriter &string(std::string_view name, std::string_view value);
    JsonWriter &number(std::string_view name, long long value);
    JsonWriter &boolean(std::string_view name, bool value);
    // A fraction written with `decimals` places, locale-independent ("0.930").
    JsonWriter &decimal(std::string_view name, double value, int decimals);
    JsonWriter &strings(std::string_view name, const std::vector<std::string> &values);
    std::string finish() const { return text_ + "}"; }

private:
    void name(std::string_view member);
    std::string text_ = "{";
};

// Whether `text` is UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF), as JSON text must be.
bool is_valid_utf8(std::string_view text);
// The length of the UTF-8 character at `at` (1 to 4), or 0 where there is none.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

// A JSON string literal, quotes included (`text` must be UTF-8).
std::string json_quote(std::string_view text);

} // namespace kolta_common

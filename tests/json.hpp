// A reader of JSON for the tests, strict to the grammar: what the tool writes must be JSON
// any program takes, not only what this reader takes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    std::string text;  // a number or a literal as written; a string decoded
    std::vector<Json> items;
    std::map<std::string, Json> fields;
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // The one value the text holds, blanks around it allowed; nothing where it is no JSON.
    std::optional<Json> whole()
    {
        auto value = read();
        skipBlanks();
        return value && at_ == text_.size() ? value : std::nullopt;
    }

private:
    void skipBlanks()
    {
        while (at_ < text_.size() && std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos)
            ++at_;
    }
    bool take(char c)
    {
        skipBlanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool literal(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }
    std::optional<Json> read()
    {
        skipBlanks();
        if (at_ >= text_.size())
            return std::nullopt;
        Json value;
        const char c = text_[at_];
        if (c == '{' || c == '[')
            return c == '{' ? object() : array();
        if (c == '"') {
            value.kind = Json::Kind::String;
            return string(value.text) ? std::optional(value) : std::nullopt;
        }
        for (const auto &[word, kind] : {std::pair{"null", Json::Kind::Null}, {"true", Json::Kind::Bool}, {"false", Json::Kind::Bool}})
            if (literal(word)) {
                value.kind = kind;
                value.text = word;
                return value;
            }
        return number();
    }
    std::optional<Json> number()
    {
        const std::size_t from = at_;
        const auto digits = [&] {
            const std::size_t start = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
                ++at_;
            return at_ > start;
        };
        literal("-");
        if (literal("0") ? false : !digits())
            return std::nullopt;
        if (literal(".") && !digits())
            return std::nullopt;
        if ((literal("e") || literal("E")) && (literal("+") || literal("-") || true) && !digits())
            return std::nullopt;
        return Json{Json::Kind::Number, std::string(text_.substr(from, at_ - from)), {}, {}};
    }
    bool string(std::string &out)
    {
        ++at_;  // the opening quote
        while (at_ < text_.size() && text_[at_] != '"') {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size())
                return false;
            const char e = text_[at_++];
            const std::string_view simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
            if (const auto i = simple.find(e); i != std::string_view::npos) {
                out += meant[i];
            } else if (e == 'u' && at_ + 4 <= text_.size() &&
                       text_.substr(at_, 4).find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos) {
                const std::uint32_t point = std::stoul(std::string(text_.substr(at_, 4)), nullptr, 16);
                at_ += 4;
                appendUtf8(out, point);
            } else {
                return false;
            }
        }
        return take('"');
    }
    static void appendUtf8(std::string &out, std::uint32_t point)
    {
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xc0 | point >> 6);
            out += static_cast<char>(0x80 | (point & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | point >> 12);
            out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (point & 0x3f));
        }
    }
    std::optional<Json> array()
    {
        ++at_;
        Json value{Json::Kind::Array, {}, {}, {}};
        if (take(']'))
            return value;
        do {
            auto item = read();
            if (!item)
                return std::nullopt;
            value.items.push_back(*item);
        } while (take(','));
        return take(']') ? std::optional(value) : std::nullopt;
    }
    std::optional<Json> object()
    {
        ++at_;
        Json value{Json::Kind::Object, {}, {}, {}};
        if (take('}'))
            return value;
        do {
            std::string name;
            skipBlanks();
            if (at_ >= text_.size() || text_[at_] != '"' || !string(name) || !take(':'))
                return std::nullopt;
            auto field = read();
            if (!field || !value.fields.emplace(name, *field).second)  // a name twice: no object of ours
                return std::nullopt;
        } while (take(','));
        return take('}') ? std::optional(value) : std::nullopt;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

inline std::optional<Json> parseJson(std::string_view text) { return JsonReader(text).whole(); }

// The skin markup parser: a small XML subset (elements, double-quoted attributes, self-closing
// elements, nested elements with matching end tags). "<?...?>" and "<!...->" constructs are
// skipped; text between tags is ignored; anything after the root element is ignored.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace SkinUI {

struct MarkupElement {
    std::wstring name;
    std::vector<std::pair<std::wstring, std::wstring>> attributes;   // document order
    std::vector<MarkupElement> children;

    // The value of the first attribute of that exact name, or null.
    const std::wstring* Attribute(const std::wstring& attrName) const;
};

class MarkupParser {
public:
    // Deeper documents are refused, so that hostile input cannot exhaust the stack.
    static constexpr int kMaxDepth = 200;

    // Parses a whole document. On failure returns false, leaves root empty and sets ErrorText
    // to one of "Expected start tag", "Error parsing element name", "Expected start-tag closing",
    // "Expected end-tag start", "Unmatched closing tag" or "Elements nested too deeply".
    bool Parse(const std::wstring& text, MarkupElement& root);

    // Attribute list in markup form (name="value" ...), as used by default attribute lists.
    bool ParseAttributeList(const std::wstring& text,
                            std::vector<std::pair<std::wstring, std::wstring>>& attributes);

    const std::wstring& ErrorText() const { return m_error; }
    std::size_t ErrorOffset() const { return m_errorPos; }

private:
    bool ParseElement(MarkupElement& element, int depth);
    bool ParseAttributes(MarkupElement& element, bool& selfClosed);
    bool ParseAttribute(std::pair<std::wstring, std::wstring>& attribute);
    bool SkipSpecial();   // at '<': skips "<?...?>" or "<!...->"; false when not special
    void SkipBlanks();
    bool Fail(const wchar_t* text);
    std::wstring ReadName();

    const std::wstring* m_text = nullptr;
    std::size_t m_pos = 0;
    std::wstring m_error;
    std::size_t m_errorPos = 0;
};

// Decodes the character references of an attribute value: &amp; &lt; &gt; &quot; &apos;,
// &#NNN; and &#xHH;. Anything else stays as written.
std::wstring DecodeEntities(const std::wstring& value);

}  // namespace SkinUI

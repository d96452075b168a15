// A small writer of UTF-8 XML documents: elements with text, nested, escaped as XML requires.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorin {

class XmlWriter {
public:
    // Starts the document with its declaration.
    XmlWriter();

    void Open(std::string_view tag);
    void Close();
    // <tag>text</tag> (an empty element when the text is empty).
    void Element(std::string_view tag, std::string_view text);

    // The document, every open element closed.
    std::string Finish();

    // The text escaped for an element's content or an attribute; characters XML 1.0 does not
    // allow (control characters other than TAB, LF, CR) are left out.
    static std::string Escape(std::string_view text);

private:
    void Indent();

    std::string out_;
    std::vector<std::string> open_;
};

} // namespace quorin

#include "jobs/xml_writer.h"

namespace quorin {

XmlWriter::XmlWriter() : out_("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n") {}

std::string XmlWriter::Escape(std::string_view text) {
    std::string s;
    for (char c : text) {
        switch (c) {
        case '&':
            s += "&amp;";
            break;
        case '<':
            s += "&lt;";
            break;
        case '>':
            s += "&gt;";
            break;
        case '"':
            s += "&quot;";
            break;
        case '\'':
            s += "&apos;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                s += c;
        }
    }
    return s;
}

void XmlWriter::Indent() {
    out_.append(2 * open_.size(), ' ');
}

void XmlWriter::Open(std::string_view tag) {
    Indent();
    out_ += "<" + std::string(tag) + ">\n";
    open_.emplace_back(tag);
}

void XmlWriter::Close() {
    if (open_.empty()) return;
    const std::string tag = open_.back();
    open_.pop_back();
    Indent();
    out_ += "</" + tag + ">\n";
}

void XmlWriter::Element(std::string_view tag, std::string_view text) {
    Indent();
    const std::string t(tag);
    if (text.empty())
        out_ += "<" + t + "/>\n";
    else
        out_ += "<" + t + ">" + Escape(text) + "</" + t + ">\n";
}

std::string XmlWriter::Finish() {
    while (!open_.empty())
        Close();
    return out_;
}

} // namespace quorin

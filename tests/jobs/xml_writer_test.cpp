// The XML writer of the library files: escaping, nesting, what XML does not allow left out.
#include "jobs/xml_writer.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

TEST(XmlWriter, EscapesNestsAndDropsWhatXmlForbids) {
    const struct {
        const char* text;
        const char* escaped;
    } cases[] = {
        {"Tom & Jerry", "Tom &amp; Jerry"},
        {"<b>\"hi\" 'x'</b>", "&lt;b&gt;&quot;hi&quot; &apos;x&apos;&lt;/b&gt;"},
        {"a\x01\x1F"
         "b\tc\n",
         "ab\tc\n"},
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XmlWriter::Escape(c.text), c.escaped) << c.text;

    XmlWriter x;
    x.Open("movie");
    x.Element("title", "A & B");
    x.Element("plot", "");
    x.Open("fileinfo");
    x.Element("codec", "mp2");
    EXPECT_EQ(x.Finish(), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                          "<movie>\n  <title>A &amp; B</title>\n  <plot/>\n  <fileinfo>\n"
                          "    <codec>mp2</codec>\n  </fileinfo>\n</movie>\n");
}

} // namespace
} // namespace quorin

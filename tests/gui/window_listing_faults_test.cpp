// "Dir" on a disk whose directory cannot be read: the window says which part failed and shows
// nothing it did not read.
#include "gui_support.h"

namespace quorin::guitest {
namespace {

TEST_F(WindowTest, AnUnreadableHeaderIsReportedAndListsNothing) {
    BuildDisk();
    WriteSettings();
    VolumeFaults faults;
    faults.failingReads.push_back({0, 512});
    SetVolumeFaults(image_, faults);
    OpenWindow();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Dir");
    EXPECT_EQ(messages_[0].text, "Cannot read the header of " + image_ + ": Input/output error.");
    EXPECT_EQ(List()->topLevelItemCount(), 0);
}

TEST_F(WindowTest, UnreadableRecordsAreNamedAndListedEmpty) {
    BuildDisk();
    WriteSettings();
    VolumeFaults faults;
    faults.failingReads.push_back({12 * 512, 13 * 512}); // the third clip's record
    SetVolumeFaults(image_, faults);
    OpenWindow();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              "The record of clip 3 could not be read (Input/output error); it is listed empty.");
    ASSERT_EQ(List()->topLevelItemCount(), kClips);
    EXPECT_EQ(List()->topLevelItem(1)->text(2), "Krimi");
    EXPECT_EQ(List()->topLevelItem(2)->text(2), "");
}

} // namespace
} // namespace quorin::guitest

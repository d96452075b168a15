// Numeric ids of the window's controls. Every control carries its id as the dynamic property
// "controlId", so the run-time rules ("controls 1000 to 2000") and the tests can find them.
#pragma once

#include <QWidget>

namespace quorin::ids {

inline constexpr const char* kProperty = "controlId";
inline constexpr int kStatic = -1; // plain labels

// Main window.
inline constexpr int kRip = 1;
inline constexpr int kCancel = 2;
inline constexpr int kOptions = 4;
inline constexpr int kAbout = 16; // the About command's number
inline constexpr int kDrive = 1000;
inline constexpr int kClipList = 1001;
inline constexpr int kVideo = 1002;
inline constexpr int kAudio = 1003;
inline constexpr int kDir = 1006;
inline constexpr int kTime = 1009;
inline constexpr int kOffset = 1010;
inline constexpr int kRipSample = 1012;
inline constexpr int kBrowse = 1021;
inline constexpr int kPlaySound = 1022;
inline constexpr int kWriteLog = 1024;
inline constexpr int kBegin = 1027;
inline constexpr int kEnd = 1028;
inline constexpr int kRawAudio = 1029;
inline constexpr int kAddJob = 1030;
inline constexpr int kClearJobs = 1031;
inline constexpr int kRawStream = 1032;
inline constexpr int kBackup = 1036;
inline constexpr int kRestore = 1038;
inline constexpr int kDriveName = 1039;
inline constexpr int kCapacity = 1040;
inline constexpr int kFreeSpace = 1041;
inline constexpr int kLoadJobs = 1043;
inline constexpr int kSaveJobs = 1044;
inline constexpr int kFirmware = 1048;
inline constexpr int kPatchSequence = 1069;
inline constexpr int kPickImage = 1100; // "..." beside the drive box
inline constexpr int kOutputDir = 2000;
inline constexpr int kVideoStatus = 2004;
inline constexpr int kAudioStatus = 2005;
inline constexpr int kAudioProgress = 2007;
inline constexpr int kVideoProgress = 2008;
inline constexpr int kEndPts = 2014;
inline constexpr int kStartPts = 2015;
inline constexpr int kAudioTime = 2016;
inline constexpr int kVideoTime = 2017;
inline constexpr int kAudioSize = 2018;
inline constexpr int kVideoSize = 2019;
inline constexpr int kJobCount = 2032;
inline constexpr int kJobSize = 2033;

// The controls a run disables: every id from 1000 to 2000.
inline constexpr int kRunLockFirst = 1000;
inline constexpr int kRunLockLast = 2000;

// Options dialog.
inline constexpr int kOk = 1;
inline constexpr int kDefault = 3;
inline constexpr int kPostfixVideo = 1075;
inline constexpr int kPostfixAudio = 1076;
inline constexpr int kPostfixRawVideo = 1077;
inline constexpr int kPostfixRawAudio = 1078;
inline constexpr int kOutputFormat = 1079;
inline constexpr int kKeepStreams = 1080;
inline constexpr int kLibraryFolder = 1081;
inline constexpr int kLibraryBrowse = 1082;
inline constexpr int kExactCuts = 1084;

// About box.
inline constexpr int kProgramVersion = 1049;
inline constexpr int kEngineVersion = 2013;

// Find Breaks' result.
inline constexpr int kBreakList = 3001;
inline constexpr int kSaveEdl = 3002;
inline constexpr int kBreakStatus = 3003;

// Title dialog.
inline constexpr int kTitleEdit = 1011;

// Clip context menu commands.
inline constexpr int kMenuChangeTitle = 40002;
inline constexpr int kMenuRip = 40003;
inline constexpr int kMenuAddRawAudio = 40004;
inline constexpr int kMenuPreview = 141;
inline constexpr int kMenuCheckDisk = 40005;
inline constexpr int kMenuRecover = 40006;
inline constexpr int kMenuLibrary = 40007;
inline constexpr int kMenuFindBreaks = 40008;

} // namespace quorin::ids

namespace quorin {

// Gives the control (a widget, or a menu command) its id.
void SetControlId(QObject* control, int id);
// The id of a control, or 0 when it has none.
int ControlId(const QObject* control);
// The first child of root (or root itself) carrying the id; nullptr when there is none.
QWidget* FindControl(QWidget* root, int id);
template <class T> T* FindControlAs(QWidget* root, int id) {
    return qobject_cast<T*>(FindControl(root, id));
}

} // namespace quorin

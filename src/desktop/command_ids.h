#pragma once

// Resource, command and control identifiers of the desktop application. The
// numbers are kept from the program's original resources so that commands
// stay addressable by one integer each; the .ui files carry them as the
// dynamic property "commandId" of every button and action.

namespace kelvara::ids {

// Resources.
inline constexpr int kIconApp = 101;
inline constexpr int kDialogMain = 102;
inline constexpr int kPageGeneral = 103;
inline constexpr int kMenuMain = 104;
inline constexpr int kPageHowToSave = 105;
inline constexpr int kAcceleratorsMain = 106;
inline constexpr int kDialogProgress = 111;

// Main window controls.
inline constexpr int kFileListView = 1000;
inline constexpr int kSaveAsBmp = 1003;
inline constexpr int kSaveAsPng = 1004;
inline constexpr int kSaveAsXyz = 1005;

// Commands (menu items, buttons, accelerators).
inline constexpr int kCmdOpen = 40001;
inline constexpr int kCmdConvertSelected = 40002;
inline constexpr int kCmdConvertAll = 40003;
inline constexpr int kCmdExit = 40004;
inline constexpr int kCmdSettings = 40005;
inline constexpr int kCmdVersion = 40006;
inline constexpr int kCmdDeleteSelected = 40007;
inline constexpr int kCmdRemoveAll = 40008;
inline constexpr int kCmdSelectAll = 40009;
inline constexpr int kCmdHelp = 40010;
inline constexpr int kCmdAddFolder = 40011;
inline constexpr int kCmdSelectFailed = 40012;
inline constexpr int kCmdReasonColumn = 40013;
// The rows' context menu (and a double-click: open).
inline constexpr int kCmdOpenFile = 40014;
inline constexpr int kCmdShowInFolder = 40015;
inline constexpr int kCmdOpenOutput = 40016;
inline constexpr int kCmdCopyPath = 40017;
inline constexpr int kCmdConvertAgain = 40018;
inline constexpr int kCmdRemoveFromList = 40019;

// Progress window controls.
inline constexpr int kProgressCounterText = 1007;
inline constexpr int kProgressBar = 1008;

// The name of the dynamic property that carries an identifier in the .ui files.
inline constexpr char kCommandIdProperty[] = "commandId";

}  // namespace kelvara::ids

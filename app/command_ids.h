#pragma once
// Command identifiers of the menus and accelerators. The numbers are the ones the program has
// always used (the framework's own commands keep the framework's numbers), so documentation and
// scripts that name them stay valid.

namespace cmd {
// The program's own commands; they have no status-bar prompt.
inline constexpr int kStartNatDetect = 32771;  // F5
inline constexpr int kStunSetting = 32772;
inline constexpr int kSelectFont = 32773;
inline constexpr int kClearLog = 32776;  // Ctrl+L
// Added later, after the last number in use: the standard STUN check with a server typed in.
inline constexpr int kStandardStunCheck = 32777;  // Ctrl+F5
// Ends the running check (either kind).
inline constexpr int kStopNatDetect = 32778;  // Esc
// The same check in its quick mode: the tests at once, waits from the measured round trips.
inline constexpr int kQuickNatDetect = 32779;  // Shift+F5
// The standard STUN check in its quick mode, as Shift+F5 is for F5.
inline constexpr int kQuickStunCheck = 32780;  // Ctrl+Shift+F5
// Whether the router opens ports on request (UPnP IGD, NAT-PMP, PCP) and packets come in.
inline constexpr int kPortMapCheck = 32781;
// How long the NAT keeps an idle UDP mapping.
inline constexpr int kMappingLifetime = 32782;

// Framework commands.
inline constexpr int kFileNew = 57600;   // answered, but no menu item or key reaches it
inline constexpr int kFileOpen = 57601;  // answered, but no menu item or key reaches it
inline constexpr int kFileSave = 57603;
inline constexpr int kFileSaveAs = 57604;  // Ctrl+Shift+S
inline constexpr int kEditCopy = 57634;
inline constexpr int kEditCut = 57635;
inline constexpr int kEditPaste = 57637;
inline constexpr int kEditUndo = 57643;
inline constexpr int kAppAbout = 57664;
inline constexpr int kAppExit = 57665;
inline constexpr int kNextPane = 57680;  // F6: the window has no panes
inline constexpr int kPrevPane = 57681;  // Shift+F6
inline constexpr int kViewStatusBar = 59393;
}  // namespace cmd

// Resource numbers that other parts of the program refer to.
inline constexpr int kIdMainResource = 128;  // menu, accelerators, icon, document string
inline constexpr int kIdStatusBar = 59393;
inline constexpr const char* kAppTitle = "Tarnwick NAT Detector";
inline constexpr const char* kIdleStatusText = "Ready";
// The edit window's text limit, in characters: the classic edit view's default (0xFFFFF).
inline constexpr int kLogTextLimit = 1048575;

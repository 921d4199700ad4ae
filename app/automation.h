#pragma once
// Scripted runs for end-to-end tests and documentation screenshots, switched on by environment
// variables; a normal start sets none of them and nothing here happens.
//
//   GATEWISE_AUTOSTART=1       start a check as soon as the network side is up (as F5 would)
//   GATEWISE_AUTOSETTINGS=1    first (before that check) open File > STUN Setting and answer it
//                              with OK: the values it shows are saved where the program keeps
//                              its settings (STUN.ini beside the program, or the user's own)
//   GATEWISE_AUTOSAVE=<file>   when the check ends (result dialog answered with Cancel) or the
//                              start-up fails, save the log to <file> and close the window
//   GATEWISE_AUTOQUIT_MS=<n>   save (if asked) and close after n ms whatever happened (default
//                              60000)
//   GATEWISE_SCREENSHOTS=<dir> when the check ends, save PNGs of the result dialog (details
//                              shown), the main window, the settings dialog and the about box
//                              into <dir>, then close; also running.png, the main window during
//                              the check, when the check runs long enough for it
//
// User-interface thread only.

class CGatewiseApp;

// Reads the variables and arms what they ask for; does nothing when none is set.
void ArmAutomation(CGatewiseApp& app);

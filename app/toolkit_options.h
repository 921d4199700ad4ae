#pragma once
// Choices about the toolkit that must be made before the QApplication exists. Platform seam:
// toolkit_options.cpp (none) or toolkit_options_win.cpp. Main thread, before QApplication.

// Sets what this system needs; a choice the user made (QT_QPA_PLATFORM, -platform) is kept.
void ChooseToolkitOptions();

#pragma once
// Registration of the program's windows with the toolkit's registry.
//
// Each window folder defines its own function below (in its own .cpp), which
// calls orv::ui::Form::registerKind<Class>("name"). registerWindows() calls
// them all; the program and the snapshot tool call it once at start-up.
// (Explicit calls, because a self-registering static object in a static
// library is dropped by the linker when nothing else uses its file.)

namespace orv::ui {

void registerWindows();

void registerMainWindow();     // "frmmain"   ui/main
void registerAboutWindow();    // "frmabout"  ui/about
void registerResultsWindow();  // "frmsecond" ui/results
void registerCardWindow();     // "frmfinal"  ui/card

// Registers the embedded pictures and sets the program's icon. Called by
// registerWindows() and by the windows that use the pictures; repeat calls
// do nothing.
void initAssets();

}  // namespace orv::ui

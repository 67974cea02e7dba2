#pragma once
// Binds the window's five events to the routines of the actions.

namespace tarvex {

class MainWindow;

void BindActions(MainWindow& window);

}  // namespace tarvex

#pragma once
// Arrow keys on a container: a button swallows its arrow keys and posts them to its container window,
// which moves the focus itself. This gives a container that behaviour: a posted Right or Down arrow moves
// the focus to the next control in the tab order of the container's window, Left or Up to the previous.
class QWidget;

namespace corvane::buttons {

// Installs the handling on the container once (later calls do nothing). The container owns it.
void InstallArrowNavigation(QWidget* container);

}  // namespace corvane::buttons

#pragma once

namespace tesselwick::app {

// `tesselwick` without arguments: the menu-bar application until Quit.
int runApplication(int argc, char** argv);

} // namespace tesselwick::app

// Size limits shared by every part of the program, in wide characters,
// terminator included.
#pragma once

enum {
    TextLimit = 8192,  // any text: at most 8191 visible characters
    PathLimit = 513    // paths and registry key names: at most 512 visible characters
};

// Settles the program-files folder, the start-menu folder and the default
// installation folder once the manifest's variables are known.
#pragma once

void ResolveFolders();
// True once ResolveFolders has run.
bool FoldersResolved();

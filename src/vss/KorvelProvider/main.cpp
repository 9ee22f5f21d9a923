// KorvelProvider: installs itself ("-Service"), removes itself
// ("-UnregServer"), or runs the local server that hosts the provider.
#include "KorvelProviderHost.h"

int main(int argc, char** argv) { return KorvelProviderMain(argc, argv); }

// Masks an access key through the installed access library.
#include <KorvelAccessLibrary.h>
#include <Logger.h>

#include <cstdio>

int main() {
    std::printf("%s %d\n", Korvel::MaskSecret("0123456789abcdef").c_str(), static_cast<int>(KLOG_TRACE));
    return 0;
}

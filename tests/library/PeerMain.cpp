// library_peer shared|unique: connects a client through the library's exports, prints
// "ready <available>", and releases it when its standard input closes.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "VireoClient/VireoClient.h"

int main(int argc, char** argv) {
    bool const unique = argc > 1 && std::strcmp(argv[1], "unique") == 0;
    auto client = unique ? VireoClient::CreateUniqueInstance() : VireoClient::Create();
    auto shared = VireoClient::Create();
    std::printf("ready %d\n", shared->IsQuicktimeAvailable() ? 1 : 0);
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    client.reset();
    shared.reset();
    return 0;
}

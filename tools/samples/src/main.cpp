// vireo_make_samples <outdir>: writes the sample movies used by tests and benchmarks.
#include <cstdio>
#include <string>

#include "samples/SampleSet.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    std::string error;
    if (!vireo::samples::WriteSampleSet(argv[1], error)) {
        std::fprintf(stderr, "vireo_make_samples: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

#include "fuzz/harness/Harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    FuzzDib(pData, nSize);
    return 0; // every input may stay in the corpus
}

#include "fuzz/harness/Harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    return FuzzDib(pData, nSize);
}

#include "output/commpair.h"

#include <new>

CommPairHashTableT* pHashTable = nullptr;

int initCommPair()
{
    pHashTable = new (std::nothrow) CommPairHashTableT();
    return pHashTable != nullptr ? 0 : -1;
}

#include "common/QVJuce.h"

int main (int, char**)
{
    return 1;
}

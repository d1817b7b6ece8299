#include "QVJuce.h"
int main() { return 0; }

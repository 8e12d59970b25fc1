#include "info.hpp"
int main() { return 0; }

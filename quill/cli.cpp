#include "settings.h"

int main() { return 0; }

#include "app/MainLoop.h"

int main() { return corvena::runProcess(); }

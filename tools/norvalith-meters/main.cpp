#include <cstdio>

#include "norvalith-meters/meters.hpp"

int main(int argc, char** argv) { return norvalith::meters::run(argc, argv, stdout, stderr); }

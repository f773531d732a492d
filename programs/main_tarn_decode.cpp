#include "programs/cli.h"

int main(int argc, char** argv) { return tarn::tarn_decode_main(argc, argv); }

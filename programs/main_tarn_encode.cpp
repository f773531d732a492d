#include "programs/cli.h"

int main(int argc, char** argv) { return tarn::tarn_encode_main(argc, argv); }

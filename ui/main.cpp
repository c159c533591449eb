#include "ui/program.h"

int main(int argc, char** argv) { return elutrix::ui::run_program(argc, argv); }

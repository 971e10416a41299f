#include "tool_run.h"

int main(int argc, char** argv)
{
    return hdrmeter::tool::runHdrmeter(argc, argv);
}

#include "tool_run.h"

int main(int argc, char** argv)
{
    hdrmeter::tool::installStopHandlers();
    return hdrmeter::tool::runHdrmeter(argc, argv);
}

#include "program/qarlov.h"

int wmain(int argumentCount, wchar_t** arguments)
{
    return QarlovMain(argumentCount, arguments);
}

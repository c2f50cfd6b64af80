#include "app/Commands.h"

const OptionEntry g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},         {OPT_COMMAND, "-L", SO_NONE},
    {OPT_COMMAND, "-D", SO_NONE},         {OPT_COMMAND, "-G", SO_NONE},
    {OPT_COMMAND, "-I", SO_NONE},         {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE},  {OPT_COMMAND, "-N", SO_NONE},
    {OPT_COMMAND, "-Y", SO_NONE},         {OPT_COMMAND, "-C", SO_NONE},
    {OPT_COMMAND, "-J", SO_NONE},         {OPT_HELP, "-h", SO_NONE},
    {OPT_HELP, "-H", SO_NONE},            {OPT_PARAMETER, "-n", SO_NONE},
    {OPT_PARAMETER, "-X", SO_REQ_SEP},    {OPT_PARAMETER, "-Z", SO_REQ_SEP},
    {OPT_PARAMETER, "-m", SO_REQ_SEP},    {OPT_PARAMETER, "-i", SO_REQ_SEP},
    {OPT_PARAMETER, "-b", SO_REQ_SEP},    {OPT_PARAMETER, "-d", SO_REQ_SEP},
    {OPT_PARAMETER, "-t", SO_REQ_SEP},    {OPT_PARAMETER, "-f", SO_REQ_SEP},
    {OPT_PARAMETER, "-r", SO_REQ_SEP},    {OPT_PARAMETER, "-s", SO_REQ_SEP},
    {OPT_PARAMETER, "-o", SO_REQ_SEP},    {OPT_PARAMETER, "-e", SO_NONE},
    {OPT_PARAMETER, "-l", SO_REQ_SEP},    {OPT_PARAMETER, "-k", SO_REQ_SEP},
    {OPT_PARAMETER, "-u", SO_REQ_SEP},    {OPT_HELP, "--help", SO_NONE},
    {OPT_JSON, "--json", SO_NONE},        SO_END_OF_OPTIONS,
};

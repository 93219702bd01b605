#include "app/log.h"
int main() { app_log(LOG_INFO, "x"); return 0; }

// tsh_main.h - life of the daemon: start-up, the wait, signals, teardown.
#ifndef TSH_MAIN_H
#define TSH_MAIN_H

int setup_signal_handlers();
int signal_user2_handler();
void good_bye(const char *label);

#endif

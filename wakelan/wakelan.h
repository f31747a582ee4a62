/* wakelan.h - the console wake tool. */
#ifndef WAKELAN_H
#define WAKELAN_H

/* One run of the tool; returns the process exit status. */
int WakelanMain(int argc, char *argv[]);

#endif

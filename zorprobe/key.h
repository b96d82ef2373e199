#ifndef ZORPROBE_KEY_H
#define ZORPROBE_KEY_H

/* Waits for one key press on the console, unechoed and without waiting for a
 * line, and discards it. When standard input is not a console, reads one byte
 * instead; end of input ends the wait too. */
void WaitForKey(void);

#endif

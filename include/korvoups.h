/*
 * KorvoUPS: UPS minidriver for a Megatec "Q1" UPS on a serial port.
 *
 * The UPS service loads KorvoUPS.dll and calls, in this order:
 *   UPSInit                        once, on the service's thread
 *   UPSGetState, UPSWaitForStateChange, UPSCancelWait, UPSTurnOff
 *                                  any number of times, from any thread
 *   UPSStop                        once, after the last of the others
 * A stopped driver can be started again with UPSInit.
 *
 * Configuration: the serial device's name in the value "Port" under
 * HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UPS, a REG_SZ or
 * REG_EXPAND_SZ taken as written (never expanded); a value of any other type
 * is no Port. Opt-in, in the driver's own key HKEY_LOCAL_MACHINE\SOFTWARE\
 * KorvoUPS, read at UPSInit: REG_DWORD "TurnOff" = 1 lets UPSTurnOff turn the
 * UPS off (absent or of another type: off), and REG_DWORD "RestoreMinutes"
 * (3..9999, default 3) is how long the outlets stay off after the mains has
 * returned.
 * Output: besides the state code, in the service key's existing "Status"
 * subkey, rewritten after every poll:
 *   five REG_DWORD values: BatteryCapacity 0..100 %, BatteryStatus 0,
 *   CommStatus 1 good / 2 lost, TotalUPSRuntime in minutes,
 *   UtilityPowerStatus 1 on / 2 off;
 *   the unit's readings, REG_SZ, each as the unit wrote it (digits, an
 *   optional sign and point: "230.0", "034", "13.60"): InputVoltage,
 *   InputFaultVoltage, OutputVoltage (V), OutputLoad (% of rated),
 *   InputFrequency (Hz), BatteryVoltage (V, per cell, block or pack, as the
 *   unit reports it), Temperature (deg C); and StatusFlags, REG_SZ, its
 *   eight flags as sent, each '0' or '1', in this order: utility fail,
 *   battery low, bypass/boost, UPS failed, standby, test in progress,
 *   shutdown active, beeper on.
 * A reading (or the flags) is there only while the latest poll read it: it
 * is removed where the unit sent a placeholder ("@@.@", "--.-") or, for
 * StatusFlags, anything but eight 0s and 1s; after a poll that read no
 * status line (CommStatus 2); and at UPSStop. Each poll writes them before
 * the five, so a host that has read CommStatus 1 then finds the readings of
 * that poll or of a later one.
 * The port: a device that fails, goes away or takes no line settings (a USB
 * adapter pulled out, gone from behind its name, replugged) is opened again
 * between polls, every 2000 ms until it is back; one that stops answering,
 * at most once a minute. What is no serial line is closed at once and never
 * written to; a file or a pipe is opened again at most once a minute.
 * Changed for a host since the first release: the readings and StatusFlags
 * are new; a Port of a type other than REG_SZ or REG_EXPAND_SZ is no longer
 * used (start-up code 5, as without Port); a device that takes no line
 * settings is tried every 2000 ms however often it refused, and a file or a
 * pipe is told by its type and waited for a minute from the first open; a
 * TurnOff of a type other than REG_DWORD leaves the UPS alone; a new state
 * is current for UPSGetState once its poll's Status values are written.
 */
#ifndef KORVOUPS_H
#define KORVOUPS_H

#include <stdint.h>

#if defined(_WIN32)
#define UPS_CALL __stdcall /* WINAPI: the service calls with the system convention */
#else
#define UPS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* State codes returned by UPSGetState. Exactly one is reported at a time. */
#define UPS_STATE_ONLINE      1u /* utility power present (also before any poll) */
#define UPS_STATE_ON_BATTERY  2u /* utility power failed, battery not low */
#define UPS_STATE_LOW_BATTERY 4u /* utility power failed and battery low */
#define UPS_STATE_NO_COMM     8u /* the UPS did not answer the status query */

/* Start-up results returned by UPSInit. When several steps fail, the code of
 * the last failing step is returned; the driver runs in every case. */
#define UPS_INIT_UNKNOWN_ERROR    0u /* an event could not be created */
#define UPS_INIT_OK               1u /* every step succeeded */
#define UPS_INIT_REGISTRY_ERROR   4u /* "Port" unreadable or no text, or a Status value not written */
#define UPS_INIT_COMM_OPEN_ERROR  5u /* the serial device did not open */
#define UPS_INIT_COMM_SETUP_ERROR 6u /* the line settings could not be read or applied */

/* Opens the port, polls the UPS once, publishes the Status values and starts
 * the monitor thread, which polls and publishes again after every 2000 ms. A second call while started returns the
 * first call's result and does nothing else. */
uint32_t UPS_CALL UPSInit(void);

/* Cancels every wait, ends the monitor (a poll in progress reads a status
 * line that has begun to its end, and gives up waiting for one that has not,
 * leaving the state as the last finished poll found it), closes the events
 * once no thread waits on them, and the port, and removes the readings from
 * the Status key (the five values stay). Returns at once when not started. */
void UPS_CALL UPSStop(void);

/* The state found by the latest poll, current once that poll's Status
 * values are written: a host that sees a new state reads them. No I/O,
 * never blocks. */
uint32_t UPS_CALL UPSGetState(void);

/* Blocks until the state code changes, UPSCancelWait is called, or timeoutMs
 * (0xFFFFFFFF waits without limit) runs out; which of them is not reported.
 * A change that nobody was waiting for releases the next call at once.
 * lastState is not used. Each change releases one waiting thread. */
void UPS_CALL UPSWaitForStateChange(uint32_t lastState, uint32_t timeoutMs);

/* Releases every thread waiting in UPSWaitForStateChange (when none waits,
 * the next call to wait returns at once) and ends all polling: a poll in
 * progress waits no longer for a status line that has not begun (the line
 * is looked at every 10 ms). Returns at once. */
void UPS_CALL UPSCancelWait(void);

/* Without "TurnOff" = 1, accepted and ignored: nothing is sent. With it, and
 * only when the latest poll was answered (state 1, 2 or 4; never 8), tells
 * the UPS to switch its outlets off after at least delay seconds (rounded up
 * to the UPS's steps: 12 s to 54 s, then whole minutes; at most 10 minutes)
 * and on again "RestoreMinutes" after the mains is there, whether it is there
 * now (it came back during the shutdown) or returns later. The host calls it
 * only after a shutdown for a power failure. Returns once the command has had
 * its time on the line (about 140 ms), at most one poll later, so that an
 * UPSStop right after it cannot discard it. UPSInit then also cancels a
 * turn-off still pending in the UPS from before. */
void UPS_CALL UPSTurnOff(uint32_t delay);

#ifdef __cplusplus
}
#endif

#endif /* KORVOUPS_H */

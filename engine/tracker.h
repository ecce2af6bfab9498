// The tracker client of one download. This is the least record the download
// object and the manager step: it announces nothing and is never active, apart
// from a hold that tests set to stand for an announce still under way.
#pragma once

struct BaseStruct;

struct TrackerStruct {
    const char *Tag;
    BaseStruct *Base; // the owning download (borrowed)
    int Active;       // the download's state as last given to Tracker_SetActive
    int State;        // 0 until the announcing client exists
    int HoldActive;   // test hook: 1 reports an announce under way
    int CompleteSent; // cleared by Tracker_ResetOnComplete
};

int Tracker_Create(TrackerStruct **tracker);
int Tracker_Init(TrackerStruct *tracker);
int Tracker_Destroy(TrackerStruct **tracker);
// Binds the download; a second call is fatal ("Parent handle already set").
int Tracker_SetParent(TrackerStruct *tracker, BaseStruct *base);
// 1 starts announcing for the download; 0 ends it (stop announce). Returns 1.
int Tracker_SetActive(TrackerStruct *tracker, int active);
// *active = 1 while a request or the stop announce is under way. Returns 1.
int Tracker_IsActive(TrackerStruct *tracker, int *active);
int Tracker_GetState(TrackerStruct *tracker, int *state);
int Tracker_ResetOnComplete(TrackerStruct *tracker);
// The periodic step, once per manager cycle. Returns 1.
int Tracker_Process(TrackerStruct *tracker);
// Test hook: 1 makes Tracker_IsActive report busy until it is set back to 0.
int Tracker_SetHoldActive(TrackerStruct *tracker, int hold);

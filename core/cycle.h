// The monitoring cycle: preparation, polling loop and ordered shutdown.
#pragma once

extern int g_iChkBoardCnt;
// Exit status of the process once vMainProc returns: set when a preparation
// step ends the run, 0 after a stop.
extern int g_iExitStatus;

void vMainProc();
int iControllerChk();
void vLogMode_OutPut();
void vMetricsCycleEnd();

// The monitoring cycle: preparation, polling loop and ordered shutdown.
#pragma once

extern int g_iChkBoardCnt;

void vMainProc();
int iControllerChk();
void vLogMode_OutPut();
void vMetricsCycleEnd();

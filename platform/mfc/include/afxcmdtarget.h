// The target of commands and messages: finds a handler in its class's message map, then in
// each base class's map in turn.
#pragma once

#include <afxmsg.h>
#include <afxobj.h>

class CCmdTarget;

// Filled by OnCmdMsg, when given, in place of calling the handler: who has one.
struct AFX_CMDHANDLERINFO {
  CCmdTarget* pTarget;
};

class CCmdTarget : public CObject {
 public:
  // Routes a command (nCode: a control notification, CN_COMMAND or CN_UPDATE_COMMAND_UI with
  // the CCmdUI as pExtra) to this object's handler; TRUE when one took it. With pHandlerInfo,
  // only tells whether a handler exists.
  virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo);

 protected:
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;
  // Calls the first handler for the message, code and id in the maps from this class up;
  // FALSE when no map has one.
  // nArrived is the message the handler is told of, when the map lists it under another.
  BOOL DispatchToMap(UINT nMessage, UINT nCode, UINT nID, WPARAM wParam, LPARAM lParam, LRESULT* pResult,
                     UINT nArrived = 0);
};

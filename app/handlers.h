// The application's own map handlers.
#ifndef KELVOROV_APP_HANDLERS_H
#define KELVOROV_APP_HANDLERS_H

void endSessionCB(void* userdata, int eventcode, int normalend);
void ignoredEventCB(void* userdata, int eventcode);
void upsActionCB(void* userdata, const char* action);

#endif

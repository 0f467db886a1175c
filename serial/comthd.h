// Placeholder until the line-event watcher arrives with the serial line.
#pragma once
#include "component.h"
class tcommthread : public TObject {};

/* Host form: GUIDs are inline constants already; nothing to instantiate. */
#pragma once

/* The maker's addresses, shown by the builder's windows and the runtime module's progress window.
   Plain preprocessor text so that resource scripts can include it too. */
#pragma once

#define PACKRIG_WEB_HOST "www.quorvel.example"
#define PACKRIG_WEB_ADDRESS "http://" PACKRIG_WEB_HOST
#define PACKRIG_EMAIL_ADDRESS "packrig@quorvel.example"
